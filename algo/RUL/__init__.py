"""Remaining-useful-life extension module (``algo.RUL.RUL``)."""
