// The serial ports this machine has and those KP6_PORTS lists, in display
// order.
#ifndef KP6_COMDET_H
#define KP6_COMDET_H

// A listed name fits COM_NAME_SIZE bytes: a network line's URL or a path
// from KP6_PORTS up to 79 characters; a device name the machine reports up
// to COM_DEVICE_NAME_MAX.
enum { COM_MAX = 16, COM_NAME_SIZE = 80, COM_DEVICE_NAME_MAX = 19 };

extern int com_num_detected;
extern char com_port_names[COM_MAX][COM_NAME_SIZE];
extern unsigned int com_port_types[32];
extern char com_p_name_mid[COM_NAME_SIZE];

extern const char REG_SERIAL_NAME_98[];

// Gathers the ports: the names KP6_PORTS lists first, then the machine's,
// sorted for display. Of more than COM_MAX, those kept are the listed ones
// and then the machine's first in display order, whatever order the system
// gave them in.
int ComDetect();
// ComDetect, then what each port's device says it is, read in one walk of
// the machine's devices: infos[i] and rc[i] (0 when something is known, as
// plat_serial_port_info tells) for com_port_names[i]. Returns the count.
struct plat_port_info;
int com_detect_about(plat_port_info infos[COM_MAX], int rc[COM_MAX]);
int ComExistsByName(char* name);

void qsort_com_mid(unsigned int i);
signed char qsort_com_cmp(unsigned int i);
void qsort_com_swp(unsigned int i, unsigned int j);

#endif
