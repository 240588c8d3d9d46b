# The project's one version, as in the top-level CMakeLists.txt's project() (a test checks it).
__version__ = "0.1.0"
