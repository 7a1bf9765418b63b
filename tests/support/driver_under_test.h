// The driver a test program runs: the linked driver, or, in a program built
// with NE2K_IMAGE_PATH (test_loader of the 32-bit build), that driver image
// file mapped by the loader with its imports bound to the host platform.
// Declare it before the host: the image must outlive the host's calls.
#ifndef TESTS_SUPPORT_DRIVER_UNDER_TEST_H
#define TESTS_SUPPORT_DRIVER_UNDER_TEST_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "driver/driver.h"
#include "sim/host.h"
#include "sim/image.h"

namespace test {

class DriverUnderTest {
public:
    // Loads the driver on `host` (DriverEntry); its status.
    NTSTATUS load(sim::Host& host) {
#ifdef NE2K_IMAGE_PATH
        std::string error;
        image_ = sim::DriverImage::open(NE2K_IMAGE_PATH, &error);
        if (!image_) {
            ADD_FAILURE() << error;
            return NDIS_STATUS_FAILURE;
        }
        return image_->load(host);
#else
        return host.load_driver(DriverEntry);
#endif
    }

private:
    std::unique_ptr<sim::DriverImage> image_;
};

}  // namespace test

#endif  // TESTS_SUPPORT_DRIVER_UNDER_TEST_H
