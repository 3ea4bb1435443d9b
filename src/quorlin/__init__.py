"""Keep dated versions of a package side by side and hand out the one in force."""
