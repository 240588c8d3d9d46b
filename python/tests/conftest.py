import os
import sys

# The package from the source tree, and its library from the build tree beside it.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
