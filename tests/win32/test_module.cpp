// A module for the loader's tests: one entry point.
extern "C" __attribute__((visibility("default"))) int DvTestValue() {
    return 7;
}
