"""Core services of vantorel."""
