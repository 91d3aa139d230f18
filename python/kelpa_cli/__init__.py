"""The kelpa command line: read, list, export and recover Windows registry hives."""
