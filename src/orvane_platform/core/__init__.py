"""The platform's core modules and the stand-ins for the surrounding package."""
