#include "listing.h"

#include <gtest/gtest.h>

namespace zanrex {
namespace {

const std::string kTop =
    "     (Installed)           (Available)\n"
    "     Image      Version      Image        Version     \t Interface\n" +
    std::string(72, '-') + "\n";

Adapter adapter_with(const std::vector<Version>& versions) {
  Adapter a;
  a.address = "0000:81:00.0";
  a.ven_id = 0x8086;
  a.dev_id = 0x24f0;
  a.sub_ven_id = 0x8086;
  a.sub_dev_id = 0xe8f1;
  a.installed = {1, 2, 3};
  for (size_t i = 0; i < versions.size(); ++i) {
    Image image;
    image.name = "image " + std::to_string(i);
    image.version = versions[i];
    a.images.push_back(image);
  }
  return a;
}

TEST(ListingBlock, WithoutImagesShowsNothing) {
  EXPECT_EQ(listing_block(adapter_with({})),
            " PCI-ID              \t\tNIC\n8086-24F0-8086-E8F1 \t \n\n" + kTop +
                "      ROM       1.2.3      ROM\t\tNothing\t\t0000:81:00.0\n\n");
}

TEST(ListingBlock, OneImageOneRow) {
  EXPECT_EQ(listing_block(adapter_with({{1, 10, 0}})),
            " PCI-ID              \t\tNIC\n8086-24F0-8086-E8F1 \timage 0 \n\n" + kTop +
                "      ROM       1.2.3       ROM\t  1.10.0\t  0000:81:00.0\n\n");
}

TEST(ListingBlock, RowsInSortKeyOrderNameOfTheFirstEntry) {
  // 1.10.0 sorts below 1.2.3 and 1.9.0 by key; equal keys keep the selection sort's order.
  EXPECT_EQ(listing_block(adapter_with({{1, 2, 3}, {1, 9, 0}, {1, 10, 0}, {1, 2, 30}})),
            " PCI-ID              \t\tNIC\n8086-24F0-8086-E8F1 \timage 0 \n\n" + kTop +
                "      ROM       1.2.3       ROM\t  1.10.0\t  0000:81:00.0\n"
                "                    \t\t\t  1.2.3\t  0000:81:00.0\n"
                "                    \t\t\t  1.2.30\t  0000:81:00.0\n"
                "                    \t\t\t  1.9.0\t  0000:81:00.0\n\n");
}

}  // namespace
}  // namespace zanrex
