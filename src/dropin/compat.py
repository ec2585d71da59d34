"""Sorted containers with the API of sortedcontainers 2.4, on the counted B-tree."""

__all__ = []
