// Version of the router library stand-in.
extern "C" __attribute__((visibility("default"))) const char* KxSystemVersion()
{
    return "3.1.0.0";
}
