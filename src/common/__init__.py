"""Services that the knobsmith modules import: logging, singletons, paths, files and commands."""
