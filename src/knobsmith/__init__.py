"""knobsmith: the core of an automatic parameter tuner for Linux hosts.

The extension modules are imported by name: knobsmith.loadplan (Cfg), knobsmith.vetplan
(Vetplan), knobsmith.stagekit, knobsmith.lapclock (Timer) and knobsmith.recommend.
"""

__version__ = "0.1.0"
