"""The gateway client."""
