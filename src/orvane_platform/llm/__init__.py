"""The local LLM backend and its configuration."""
