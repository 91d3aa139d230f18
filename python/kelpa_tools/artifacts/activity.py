"""User activity: what a user typed, searched for and connected to."""
