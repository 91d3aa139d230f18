"""Persistence: what starts by itself (Run keys, services, scheduled tasks)."""
