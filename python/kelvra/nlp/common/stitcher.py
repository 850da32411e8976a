"""Putting per-segment entity or relation results back into document
positions. The caller's records are shifted where they stand, and the
returned list holds those very dicts.
"""
import kelvra.common.exceptions  # noqa: F401 (KvException for an unknown type_)
from kelvra._native.segmentation import Stitcher

__all__ = ["Stitcher"]
