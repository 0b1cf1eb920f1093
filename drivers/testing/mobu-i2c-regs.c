// SPDX-License-Identifier: GPL-2.0
/*
 * Test-only SMBus adapter ("mobu-i2c-regs") answering for chips that are
 * plain files of 256 byte registers, for kernels built without the kernel's
 * own SMBus stub.  Each address given in "chip_addr" answers quick, byte and
 * byte-data transfers; a byte transfer reads or sets the chip's register
 * pointer, which byte-data transfers leave at the register after the one
 * they accessed.  Other addresses do not answer (-ENXIO), so that drivers
 * probing them fail as on a bus without the chip.  A test makes the writes
 * of one register of one chip fail (-EIO) through "fail_addr" and
 * "fail_reg", and loses a chip's registers (all read 0, as after a power
 * cut) by writing its address to "reset_addr".
 * It also stands in for the kernel's SMBus stub where a test needs these.
 */

#include <linux/i2c.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/slab.h>
#include <linux/string.h>

#define REGS_MAX_CHIPS	10

static unsigned short chip_addr[REGS_MAX_CHIPS];
static int chip_count;
module_param_array(chip_addr, ushort, &chip_count, 0444);
MODULE_PARM_DESC(chip_addr, "I2C addresses of the emulated chips");

static unsigned short fail_addr;
module_param(fail_addr, ushort, 0644);
MODULE_PARM_DESC(fail_addr, "chip whose writes of fail_reg fail (0: none)");
static int fail_reg = -1;
module_param(fail_reg, int, 0644);
MODULE_PARM_DESC(fail_reg, "register whose writes fail on fail_addr (-1: none)");

struct regs_chip {
	u8 regs[256];
	u8 pointer;
};

struct regs_adapter {
	struct i2c_adapter adapter;
	/* Serialises the transfers with the register files. */
	struct mutex lock;
	struct regs_chip chips[REGS_MAX_CHIPS];
};

static struct regs_adapter *regs;

static struct regs_chip *regs_chip_at(u16 addr)
{
	int i;

	for (i = 0; i < chip_count; i++)
		if (chip_addr[i] == addr)
			return &regs->chips[i];
	return NULL;
}

static int regs_xfer(struct i2c_adapter *adap, u16 addr, unsigned short flags,
		     char read_write, u8 command, int size,
		     union i2c_smbus_data *data)
{
	struct regs_chip *chip = regs_chip_at(addr);
	int ret = 0;

	if (!chip)
		return -ENXIO;

	mutex_lock(&regs->lock);
	switch (size) {
	case I2C_SMBUS_QUICK:
		break;
	case I2C_SMBUS_BYTE:
		if (read_write == I2C_SMBUS_WRITE)
			chip->pointer = command;
		else
			data->byte = chip->regs[chip->pointer++];
		break;
	case I2C_SMBUS_BYTE_DATA:
		if (read_write == I2C_SMBUS_WRITE &&
		    addr == READ_ONCE(fail_addr) && command == READ_ONCE(fail_reg))
			ret = -EIO;
		else if (read_write == I2C_SMBUS_WRITE)
			chip->regs[command] = data->byte;
		else
			data->byte = chip->regs[command];
		chip->pointer = command + 1;
		break;
	default:
		ret = -EOPNOTSUPP;
		break;
	}
	mutex_unlock(&regs->lock);
	return ret;
}

/* Writing a chip's address clears its registers. */
static int regs_reset_set(const char *val, const struct kernel_param *kp)
{
	struct regs_chip *chip;
	u16 addr;
	int ret;

	ret = kstrtou16(val, 0, &addr);
	if (ret)
		return ret;
	if (!regs)
		return -ENODEV;
	chip = regs_chip_at(addr);
	if (!chip)
		return -ENXIO;
	mutex_lock(&regs->lock);
	memset(chip->regs, 0, sizeof(chip->regs));
	mutex_unlock(&regs->lock);
	return 0;
}

static const struct kernel_param_ops regs_reset_ops = {
	.set = regs_reset_set,
};
module_param_cb(reset_addr, &regs_reset_ops, NULL, 0200);
MODULE_PARM_DESC(reset_addr, "write a chip's address to clear its registers");

static u32 regs_functionality(struct i2c_adapter *adap)
{
	return I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE |
	       I2C_FUNC_SMBUS_BYTE_DATA;
}

static const struct i2c_algorithm regs_algo = {
	.smbus_xfer = regs_xfer,
	.functionality = regs_functionality,
};

static int __init regs_init(void)
{
	int ret;

	if (!chip_count) {
		pr_err("mobu-i2c-regs: no chip_addr given\n");
		return -EINVAL;
	}
	regs = kzalloc(sizeof(*regs), GFP_KERNEL);
	if (!regs)
		return -ENOMEM;
	mutex_init(&regs->lock);
	regs->adapter.owner = THIS_MODULE;
	regs->adapter.class = I2C_CLASS_HWMON;
	regs->adapter.algo = &regs_algo;
	strscpy(regs->adapter.name, "mobu-i2c-regs",
		sizeof(regs->adapter.name));
	ret = i2c_add_adapter(&regs->adapter);
	if (ret)
		kfree(regs);
	return ret;
}
module_init(regs_init);

static void __exit regs_exit(void)
{
	i2c_del_adapter(&regs->adapter);
	kfree(regs);
}
module_exit(regs_exit);

MODULE_DESCRIPTION("Mobu test-only SMBus adapter with register-file chips");
MODULE_LICENSE("GPL v2");
