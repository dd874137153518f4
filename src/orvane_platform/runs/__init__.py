"""Solver runs: the run path of one run, the workspace's run index, and design sweeps."""
