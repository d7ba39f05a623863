"""CQG Integrated Client COM wrapper and its environment."""
