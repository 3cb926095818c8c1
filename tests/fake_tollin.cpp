// A library that loads but lacks UnRegisterApp: what a wrong libTollin.so looks like.
extern "C" __attribute__((visibility("default"))) int SomethingElse(void) {
    return 7;
}
