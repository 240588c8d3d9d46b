// The shared library's own translation unit. Its code comes whole from the static archives it
// links (the control library and one driver); the export list in this folder keeps only the
// VRX5200BrdCtrl_ functions (and, on the bench, its VRXSim_ functions) visible.
