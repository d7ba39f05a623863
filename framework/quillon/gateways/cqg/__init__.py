"""CQG futures gateway components."""
