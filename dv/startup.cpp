#include "dv/startup.h"

#include "dv/sync.h"

namespace {

struct InstanceRegistration {
    InstanceRegistration() { dv::instance_counter().register_instance(); }
};

__attribute__((init_priority(DV_INIT_PRIORITY_INSTANCE_COUNTER)))
InstanceRegistration g_registration;

} // namespace
