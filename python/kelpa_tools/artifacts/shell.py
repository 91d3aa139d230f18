"""Shell items: ShellBags and the MRU lists that remember folders and files."""
