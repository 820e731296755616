"""Runs the package's tests with pytest against the library named by KLPASSWORD_LIBRARY; exits
77 (reported as skipped) where pytest is not installed. Arguments go to pytest."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

try:
    import pytest
except ImportError:
    print("pytest is not installed (Debian: python3-pytest); the Python package tests are skipped")
    sys.exit(77)

sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(HERE))  # the package from the tree, not an installed copy
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "--rootdir", os.path.dirname(HERE), HERE] + sys.argv[1:]))
