// An archiver module of an old version (1.00), for the start-up warning.
extern "C" {
__attribute__((visibility("default"))) int Unlha(void*, const char*, char*, unsigned long)
{
    return 0;
}
__attribute__((visibility("default"))) unsigned short UnlhaGetVersion(void)
{
    return 100;
}
__attribute__((visibility("default"))) int UnlhaGetRunning(void)
{
    return 0;
}
}
