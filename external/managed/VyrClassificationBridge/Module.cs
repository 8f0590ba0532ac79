// The stack buffers of the store's calls are written before they are read:
// they need not be cleared first.
[module: System.Runtime.CompilerServices.SkipLocalsInit]
