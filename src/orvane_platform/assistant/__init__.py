"""The LLM assistant: a conversation with the local model and the agent tools."""
