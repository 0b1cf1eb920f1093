/* Stand-in: the kernel version the drivers are compiled for (6.1 unless the
 * build asks for another with -DSTANDIN_LINUX_VERSION_CODE=...). */
#ifndef STANDIN_LINUX_VERSION_H
#define STANDIN_LINUX_VERSION_H

#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + ((c) > 255 ? 255 : (c)))
#ifdef STANDIN_LINUX_VERSION_CODE
#define LINUX_VERSION_CODE STANDIN_LINUX_VERSION_CODE
#else
#define LINUX_VERSION_CODE KERNEL_VERSION(6, 1, 0)
#endif

#endif
