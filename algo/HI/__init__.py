"""Health-model extension module (``algo.HI.HI``)."""
