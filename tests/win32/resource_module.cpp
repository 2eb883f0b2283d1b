// A module for the resource tests: its resources are what matters (data/module.rsc).
extern "C" __attribute__((visibility("default"))) int DvResourceModuleValue() {
    return 11;
}
