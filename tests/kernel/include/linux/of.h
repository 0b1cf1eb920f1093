/*
 * Stand-in of the device-tree node interface: nodes with reference counts,
 * phandle properties and u32 properties, as the test builds them
 * (standin::Node in KernelStandIn.h).
 */
#ifndef STANDIN_LINUX_OF_H
#define STANDIN_LINUX_OF_H

#include <linux/mod_devicetable.h>
#include <linux/standin.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Test-side properties of a node. */
struct standin_node;

struct device_node {
    const char* full_name;
    int refcount; /* references taken by of_parse_phandle()/of_node_get() */
    struct standin_node* standin;
};

/* The node a phandle property points to, with a reference taken; or NULL. */
struct device_node* of_parse_phandle(const struct device_node* np, const char* phandle_name, int index);
struct device_node* of_node_get(struct device_node* node);
void of_node_put(struct device_node* node);
/* 0, or -EINVAL when the property is absent. */
int of_property_read_u32(const struct device_node* np, const char* propname, u32* out_value);

/* The data of the driver's match table entry the device was bound through. */
const void* of_device_get_match_data(const struct device* dev);

#define of_match_ptr(ptr) (ptr)

#ifdef __cplusplus
}
#endif

#endif
