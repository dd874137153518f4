"""Setting up and checking a workspace: the demo walk-through and the doctor."""
