import importlib.util

# The Python tests exercise the extension module; without it built there is nothing to test.
if importlib.util.find_spec("quorvane_core") is None:
    collect_ignore_glob = ["test_*.py"]
