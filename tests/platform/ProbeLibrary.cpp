// A tiny library for the loader tests; PROBE_VALUE tells the copies apart.
extern "C" int ProbeValue()
{
    return PROBE_VALUE;
}
