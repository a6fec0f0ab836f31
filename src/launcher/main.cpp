// The tiny launcher: everything lives in libtessinstaller, which exports dlr_main only.
extern "C" int dlr_main(int argc, char **argv);

int main(int argc, char **argv)
{
    return dlr_main(argc, argv);
}
