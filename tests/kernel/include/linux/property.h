/* Stand-in of firmware-node properties: the stand-in's devices have no
 * firmware node besides their device-tree node, so no reference resolves. */
#ifndef STANDIN_LINUX_PROPERTY_H
#define STANDIN_LINUX_PROPERTY_H

#include <linux/of.h>
#include <linux/standin.h>

#ifdef __cplusplus
extern "C" {
#endif

struct fwnode_handle;

static inline struct fwnode_handle* dev_fwnode(struct device* dev) {
    (void)dev;
    return NULL;
}
static inline struct fwnode_handle* fwnode_find_reference(const struct fwnode_handle* fwnode, const char* name,
                                                          unsigned int index) {
    (void)fwnode, (void)name, (void)index;
    return (struct fwnode_handle*)ERR_PTR(-ENOENT);
}
static inline void fwnode_handle_put(struct fwnode_handle* fwnode) {
    (void)fwnode;
}

/* Properties of a device: those of its device-tree node. */
static inline int device_property_read_u32(struct device* dev, const char* propname, u32* val) {
    return of_property_read_u32(dev->of_node, propname, val);
}

struct bus_type {
    const char* name;
};
extern struct bus_type platform_bus_type;
extern struct bus_type i2c_bus_type;
static inline struct device* bus_find_device_by_fwnode(struct bus_type* bus, const struct fwnode_handle* fwnode) {
    (void)bus, (void)fwnode;
    return NULL;
}
static inline void put_device(struct device* dev) {
    (void)dev;
}

#ifdef __cplusplus
}
#endif

#endif
