// The translation unit that builds the tests' precompiled header (see
// tests/CMakeLists.txt); it has no code of its own.
