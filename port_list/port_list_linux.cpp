#include "port_list/port_list.h"
#include "port_list/sysfs_ports.h"

void list_system_ports(port_list& list) {
    list_sysfs_ports(sysfs_roots{"/sys", "/dev", ".", "/proc"}, list);
}
