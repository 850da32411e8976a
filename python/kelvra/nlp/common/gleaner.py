"""Line passages of an annotated document, each with the entities inside it.
The document's entity dicts are renamed and rebased where they stand, and
each passage's ``entities`` holds those very dicts.
"""
from kelvra._native.retrieval import Gleaner

__all__ = ["Gleaner"]
