// Stand-in for the OpenMP runtime the VX41 engine is shipped with. The real engine resolves the
// runtime's symbols from the global scope when it is loaded; the stand-in engine does the same
// with this one function, so loading the runtime without global visibility (or not first) makes
// the engine fail to load exactly as the real pair would.
extern "C" __attribute__((visibility("default"))) int vx41StandinRuntimeThreadCount() { return 1; }
