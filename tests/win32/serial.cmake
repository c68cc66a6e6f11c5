# The Win32 serial backend under Wine.
