// SPDX-License-Identifier: GPL-2.0
/*
 * Test-only GPIO controller ("mobu-test-gpio") of sixteen output lines that
 * drive nothing, so that a machine without the board's lines can hand them
 * to a driver and see what it drives.  Loading the module registers the
 * controller's device and driver: it appears as a driver binds a device,
 * which lets drivers that deferred their probe for it retry.
 *
 * Module parameter:
 *   levels  level of each line as its consumer last set it (read-only)
 */

#include <linux/gpio/driver.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/platform_device.h>

#define MOBU_TEST_GPIO_LINES	16

static int levels[MOBU_TEST_GPIO_LINES];
static unsigned int nlevels = MOBU_TEST_GPIO_LINES;
module_param_array(levels, int, &nlevels, 0444);
MODULE_PARM_DESC(levels, "level of each line");

static int mobu_test_gpio_get(struct gpio_chip *gc, unsigned int offset)
{
	return READ_ONCE(levels[offset]);
}

static void mobu_test_gpio_set(struct gpio_chip *gc, unsigned int offset,
			       int value)
{
	WRITE_ONCE(levels[offset], !!value);
}

static int mobu_test_gpio_direction_output(struct gpio_chip *gc,
					   unsigned int offset, int value)
{
	mobu_test_gpio_set(gc, offset, value);
	return 0;
}

static int mobu_test_gpio_get_direction(struct gpio_chip *gc,
					unsigned int offset)
{
	return GPIO_LINE_DIRECTION_OUT;
}

static int mobu_test_gpio_probe(struct platform_device *pdev)
{
	struct gpio_chip *gc;

	gc = devm_kzalloc(&pdev->dev, sizeof(*gc), GFP_KERNEL);
	if (!gc)
		return -ENOMEM;
	gc->label = "mobu-test-gpio";
	gc->parent = &pdev->dev;
	gc->owner = THIS_MODULE;
	gc->base = -1;
	gc->ngpio = MOBU_TEST_GPIO_LINES;
	gc->can_sleep = true;
	gc->get = mobu_test_gpio_get;
	gc->set = mobu_test_gpio_set;
	gc->direction_output = mobu_test_gpio_direction_output;
	gc->get_direction = mobu_test_gpio_get_direction;
	return devm_gpiochip_add_data(&pdev->dev, gc, NULL);
}

static struct platform_driver mobu_test_gpio_driver = {
	.driver = {
		.name = "mobu-test-gpio",
	},
	.probe = mobu_test_gpio_probe,
};

static struct platform_device *mobu_test_gpio_dev;

static int __init mobu_test_gpio_init(void)
{
	int ret;

	ret = platform_driver_register(&mobu_test_gpio_driver);
	if (ret)
		return ret;
	mobu_test_gpio_dev = platform_device_register_simple("mobu-test-gpio",
							     PLATFORM_DEVID_NONE,
							     NULL, 0);
	if (IS_ERR(mobu_test_gpio_dev)) {
		platform_driver_unregister(&mobu_test_gpio_driver);
		return PTR_ERR(mobu_test_gpio_dev);
	}
	return 0;
}
module_init(mobu_test_gpio_init);

static void __exit mobu_test_gpio_exit(void)
{
	platform_device_unregister(mobu_test_gpio_dev);
	platform_driver_unregister(&mobu_test_gpio_driver);
}
module_exit(mobu_test_gpio_exit);

MODULE_DESCRIPTION("Mobu test-only GPIO controller of output lines");
MODULE_LICENSE("GPL v2");
