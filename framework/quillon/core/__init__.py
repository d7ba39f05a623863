"""Core records, enumerations and helpers of the quillon framework."""
