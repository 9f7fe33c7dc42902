"""Access to the parameter database that ships with knobsmith."""
