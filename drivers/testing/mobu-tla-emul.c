// SPDX-License-Identifier: GPL-2.0
/*
 * Test-only I2C adapter emulating a TLA2528 converter, so that the
 * tla2528-adc driver can be exercised on a machine without the chip.
 *
 * The adapter answers the register-write frame (0x08, register, value)
 * and two-byte conversion reads.  A conversion returns the 12-bit value
 * configured for the selected channel in bits 15:4 and, when DATA_CFG
 * asks for it, the channel number in bits 3:0.  The adapter also
 * provides the converter's 3.3 V "vref" supply.
 *
 * Module parameters:
 *   values         12-bit result of each of the eight channels (writable)
 *   addr           I2C address of the emulated converter
 *   fail_reads     make conversion reads fail with -EIO (writable)
 *   fail_writes    make register writes fail with -EIO (writable)
 *   regs           register file as written by the driver (read-only)
 *   select_writes  number of writes to the channel-select register
 *   vref_enabled   whether a consumer has the vref supply enabled
 */

#include <linux/i2c.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/platform_device.h>
#include <linux/regulator/driver.h>
#include <linux/regulator/machine.h>
#include <linux/spinlock.h>

#define EMUL_NAME		"mobu-tla-emul"
#define EMUL_CHANNELS		8
#define EMUL_NREGS		0x20

#define TLA_OP_REG_WRITE	0x08
#define TLA_DATA_CFG		0x02
#define TLA_DATA_CFG_APPEND_TAG	0x10
#define TLA_CHANNEL_SEL		0x11

#define VREF_UV			3300000

static ushort values[EMUL_CHANNELS] = {
	100, 1234, 2047, 2048, 3000, 4095, 7, 4095
};
module_param_array(values, ushort, NULL, 0644);
MODULE_PARM_DESC(values, "12-bit conversion result of channels 0-7");

static ushort addr = 0x17;
module_param(addr, ushort, 0444);
MODULE_PARM_DESC(addr, "I2C address of the emulated converter");

static bool fail_reads;
module_param(fail_reads, bool, 0644);
MODULE_PARM_DESC(fail_reads, "fail conversion reads with -EIO");

static bool fail_writes;
module_param(fail_writes, bool, 0644);
MODULE_PARM_DESC(fail_writes, "fail register writes with -EIO");

static unsigned char regs[EMUL_NREGS];
static unsigned int nregs = EMUL_NREGS;
module_param_array(regs, byte, &nregs, 0444);
MODULE_PARM_DESC(regs, "register file of the emulated converter");

static uint select_writes;
module_param(select_writes, uint, 0444);
MODULE_PARM_DESC(select_writes, "writes to the channel-select register");

static bool vref_enabled;
module_param(vref_enabled, bool, 0444);
MODULE_PARM_DESC(vref_enabled, "the vref supply is enabled");

struct emul {
	struct i2c_adapter adapter;
	struct i2c_client *client;
	struct regulator_dev *vref;
	struct regulator_consumer_supply supply;
	struct regulator_init_data init_data;
	char client_name[24];
};

static DEFINE_SPINLOCK(emul_lock);

static int emul_write(const struct i2c_msg *msg)
{
	u8 reg, val;

	if (msg->len != 3 || msg->buf[0] != TLA_OP_REG_WRITE ||
	    READ_ONCE(fail_writes))
		return -EIO;

	reg = msg->buf[1];
	val = msg->buf[2];
	if (reg >= EMUL_NREGS)
		return -EIO;

	spin_lock(&emul_lock);
	regs[reg] = val;
	if (reg == TLA_CHANNEL_SEL)
		select_writes++;
	spin_unlock(&emul_lock);
	return 0;
}

static int emul_read(struct i2c_msg *msg)
{
	unsigned int channel;
	u16 word;

	if (msg->len != 2 || READ_ONCE(fail_reads))
		return -EIO;

	spin_lock(&emul_lock);
	channel = regs[TLA_CHANNEL_SEL] % EMUL_CHANNELS;
	word = (values[channel] & 0xfff) << 4;
	if (regs[TLA_DATA_CFG] & TLA_DATA_CFG_APPEND_TAG)
		word |= channel;
	spin_unlock(&emul_lock);

	msg->buf[0] = word >> 8;
	msg->buf[1] = word & 0xff;
	return 0;
}

static int emul_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	int i, ret;

	for (i = 0; i < num; i++) {
		if (msgs[i].addr != addr)
			return -ENXIO;
		if (msgs[i].flags & I2C_M_RD)
			ret = emul_read(&msgs[i]);
		else
			ret = emul_write(&msgs[i]);
		if (ret)
			return ret;
	}
	return num;
}

static u32 emul_functionality(struct i2c_adapter *adap)
{
	return I2C_FUNC_I2C | I2C_FUNC_SMBUS_WRITE_BYTE_DATA;
}

static const struct i2c_algorithm emul_algo = {
	.master_xfer = emul_xfer,
	.functionality = emul_functionality,
};

static int vref_enable(struct regulator_dev *rdev)
{
	WRITE_ONCE(vref_enabled, true);
	return 0;
}

static int vref_disable(struct regulator_dev *rdev)
{
	WRITE_ONCE(vref_enabled, false);
	return 0;
}

static int vref_is_enabled(struct regulator_dev *rdev)
{
	return READ_ONCE(vref_enabled);
}

static const struct regulator_ops vref_ops = {
	.enable = vref_enable,
	.disable = vref_disable,
	.is_enabled = vref_is_enabled,
};

static const struct regulator_desc vref_desc = {
	.name = EMUL_NAME "-vref",
	.type = REGULATOR_VOLTAGE,
	.owner = THIS_MODULE,
	.ops = &vref_ops,
	.n_voltages = 1,
	.fixed_uV = VREF_UV,
};

static int emul_probe(struct platform_device *pdev)
{
	struct regulator_config config = { };
	struct i2c_board_info info = { };
	struct emul *emul;
	int ret;

	emul = devm_kzalloc(&pdev->dev, sizeof(*emul), GFP_KERNEL);
	if (!emul)
		return -ENOMEM;

	emul->adapter.owner = THIS_MODULE;
	emul->adapter.algo = &emul_algo;
	emul->adapter.dev.parent = &pdev->dev;
	strscpy(emul->adapter.name, EMUL_NAME, sizeof(emul->adapter.name));
	ret = i2c_add_adapter(&emul->adapter);
	if (ret)
		return ret;

	/* the supply is mapped by the name the client device will get */
	snprintf(emul->client_name, sizeof(emul->client_name), "%d-%04x",
		 i2c_adapter_id(&emul->adapter), addr);
	emul->supply.supply = "vref";
	emul->supply.dev_name = emul->client_name;
	emul->init_data.constraints.valid_ops_mask = REGULATOR_CHANGE_STATUS;
	emul->init_data.consumer_supplies = &emul->supply;
	emul->init_data.num_consumer_supplies = 1;

	config.dev = &pdev->dev;
	config.init_data = &emul->init_data;
	emul->vref = devm_regulator_register(&pdev->dev, &vref_desc, &config);
	if (IS_ERR(emul->vref)) {
		ret = PTR_ERR(emul->vref);
		goto err_adapter;
	}

	strscpy(info.type, "tla2528", sizeof(info.type));
	info.addr = addr;
	emul->client = i2c_new_client_device(&emul->adapter, &info);
	if (IS_ERR(emul->client)) {
		ret = PTR_ERR(emul->client);
		goto err_adapter;
	}

	platform_set_drvdata(pdev, emul);
	dev_info(&pdev->dev, "converter at %s\n", emul->client_name);
	return 0;

err_adapter:
	i2c_del_adapter(&emul->adapter);
	return ret;
}

static int emul_remove(struct platform_device *pdev)
{
	struct emul *emul = platform_get_drvdata(pdev);

	i2c_unregister_device(emul->client);
	i2c_del_adapter(&emul->adapter);
	return 0;
}

static struct platform_driver emul_driver = {
	.driver = {
		.name = EMUL_NAME,
	},
	.probe = emul_probe,
	.remove = emul_remove,
};

static struct platform_device *emul_pdev;

static int __init emul_init(void)
{
	int ret;

	ret = platform_driver_register(&emul_driver);
	if (ret)
		return ret;

	emul_pdev = platform_device_register_simple(EMUL_NAME, -1, NULL, 0);
	if (IS_ERR(emul_pdev)) {
		ret = PTR_ERR(emul_pdev);
		goto err_driver;
	}
	/* platform probing is synchronous: no driver data, no converter */
	if (!platform_get_drvdata(emul_pdev)) {
		ret = -ENODEV;
		goto err_device;
	}
	return 0;

err_device:
	platform_device_unregister(emul_pdev);
err_driver:
	platform_driver_unregister(&emul_driver);
	return ret;
}
module_init(emul_init);

static void __exit emul_exit(void)
{
	platform_device_unregister(emul_pdev);
	platform_driver_unregister(&emul_driver);
}
module_exit(emul_exit);

MODULE_DESCRIPTION("TLA2528 converter emulator for driver tests");
MODULE_LICENSE("GPL v2");
