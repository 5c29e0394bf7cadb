// Pack runs whose source is a Human68k or an N88-BASIC disk image.
#include <gtest/gtest.h>

TEST(ImageFsPack, Placeholder) {}
