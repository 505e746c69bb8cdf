"""Benchmarks of pagewright: see run.py, or scripts/bench.sh."""
