/* Stand-in: see linux/mod_devicetable.h. */
#include <linux/mod_devicetable.h>
