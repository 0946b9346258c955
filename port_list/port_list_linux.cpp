#include "port_list/port_list.h"
#include "port_list/sysfs_ports.h"

void list_system_ports(PortList& list) {
    list_sysfs_ports(SysfsRoots{"/sys", "/dev", "."}, list);
}
