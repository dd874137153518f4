"""Core services: products, solver registry, runs and the stand-in services."""
