/* Stand-in: see linux/of.h. */
#include <linux/of.h>
