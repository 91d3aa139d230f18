"""Answers from hives, for tool authors: batch rules, search and diff. Pure Python over the kelpa
extension; the kelpa command line is a thin layer over it."""
