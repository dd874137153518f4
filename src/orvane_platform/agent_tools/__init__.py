"""Tool tables the LLM agent calls: aerodynamics and vehicle dynamics."""
