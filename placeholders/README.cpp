// Weak stand-ins for functions not written yet; a real definition elsewhere overrides them.
