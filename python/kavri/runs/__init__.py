"""Runs over many files: a batch with one chain, augmentation with a drawn chain per output.

Both are the task loop of :mod:`kavri.runs.tasks`, with the guard of what may be written
(:mod:`kavri.runs.guard`) and the record of what is done (:mod:`kavri.runs.record`).
"""
