"""Program execution: what ran, when and how often."""
