# The Win32 registry store and the end-to-end run under Wine.
