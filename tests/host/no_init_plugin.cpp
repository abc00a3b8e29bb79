// A shared library without the plug-in entry point.
extern "C" int host_test_not_a_plugin() {
    return 7;
}
