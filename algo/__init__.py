"""Machine-health analytics for rotating equipment.

The work is done by two native modules: ``algo.HI.HI`` (health model) and
``algo.RUL.RUL`` (remaining useful life).
"""
