"""The recommendation steps around the parameter database, one module per concern.

- `commands`: a get command run once, read-only, as a process group of its own with a time limit;
- `servers`: which database server answers, and which entries select it;
- `probing`: what each remaining entry reads on this machine, and the options the machine offers;
- `ranges`: ranges that hold the value in effect, memory-sized ranges, step grids;
- `notes`: the comment block at the top of config.yaml;
- `pipeline`: the steps in order, from the database text to config.yaml.
"""
