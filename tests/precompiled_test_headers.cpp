// Nothing of its own: the target it belongs to parses the headers every test file includes, once,
// and the test executables reuse the result (tests/CMakeLists.txt).
