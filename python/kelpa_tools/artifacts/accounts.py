"""Accounts: the local users and groups of a SAM hive."""
