// Where code and constant data lie in the driver image on its target:
// the entry point in a section discarded after load, initialization code
// and the configuration keyword strings in pageable sections, everything
// else resident.
#ifndef DRIVER_PLACEMENT_H
#define DRIVER_PLACEMENT_H

#define NE2K_INIT_CODE __attribute__((section("INIT")))
#define NE2K_PAGEABLE_CODE __attribute__((section("PAGE")))
#define NE2K_PAGEABLE_DATA __attribute__((section("PAGECONST")))

#endif  // DRIVER_PLACEMENT_H
