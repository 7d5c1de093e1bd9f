package serialslots;

import java.util.Optional;
import java.util.OptionalInt;

/**
 * A serial device of this machine as the kernel describes it, found without
 * opening it: its path, the slot name that reaches it (if any), its driver,
 * and for USB adapters the identifiers and names the adapter reports and its
 * stable /dev/serial/by-id link.
 */
public final class PortInfo {

    private final String device;
    private final String slotName;
    private final String driver;
    private final Integer vendorId;
    private final Integer productId;
    private final String manufacturer;
    private final String product;
    private final String serialNumber;
    private final String byIdPath;

    /**
     * A port as sysfs describes it; what it does not tell is null.
     *
     * @param device the device path, such as /dev/ttyUSB0
     * @param slotName the slot name whose device it is, such as COMUSB0
     * @param driver the driver's name, such as ftdi_sio
     * @param vendorId a USB adapter's vendor id
     * @param productId a USB adapter's product id
     * @param manufacturer a USB adapter's manufacturer
     * @param product a USB adapter's product name
     * @param serialNumber a USB adapter's serial number
     * @param byIdPath its link under /dev/serial/by-id
     */
    public PortInfo(String device, String slotName, String driver, Integer vendorId, Integer productId, String manufacturer,
            String product, String serialNumber, String byIdPath) {
        this.device = device;
        this.slotName = slotName;
        this.driver = driver;
        this.vendorId = vendorId;
        this.productId = productId;
        this.manufacturer = manufacturer;
        this.product = product;
        this.serialNumber = serialNumber;
        this.byIdPath = byIdPath;
    }

    /** @return the device path, such as "/dev/ttyUSB0" */
    public String device() {
        return device;
    }

    /** @return the slot name of {@link core.SerialPort} that reaches this device, such as "COMUSB0" */
    public Optional<String> slotName() {
        return Optional.ofNullable(slotName);
    }

    /** @return the kernel driver, such as "serial8250", "ftdi_sio", "cdc_acm" or "pl011"; "" when unknown */
    public String driver() {
        return driver;
    }

    /** @return the USB vendor id, such as 0x0403 */
    public OptionalInt vendorId() {
        return vendorId == null ? OptionalInt.empty() : OptionalInt.of(vendorId);
    }

    /** @return the USB product id, such as 0x6001 */
    public OptionalInt productId() {
        return productId == null ? OptionalInt.empty() : OptionalInt.of(productId);
    }

    /** @return the USB manufacturer string */
    public Optional<String> manufacturer() {
        return Optional.ofNullable(manufacturer);
    }

    /** @return the USB product string */
    public Optional<String> product() {
        return Optional.ofNullable(product);
    }

    /** @return the USB serial number */
    public Optional<String> serialNumber() {
        return Optional.ofNullable(serialNumber);
    }

    /** @return the link under /dev/serial/by-id that names this device, stable across replugging */
    public Optional<String> byIdPath() {
        return Optional.ofNullable(byIdPath);
    }

    /** @return what a USB adapter reports of itself, such as "0403:6001 FTDI FT232R USB UART serial A5XK3RJT"; "" for others */
    public String description() {
        StringBuilder text = new StringBuilder();
        if (vendorId != null && productId != null) {
            text.append(String.format(" %04x:%04x", vendorId, productId));
        }
        manufacturer().ifPresent(name -> text.append(' ').append(name));
        product().ifPresent(name -> text.append(' ').append(name));
        serialNumber().ifPresent(serial -> text.append(" serial ").append(serial));
        return text.toString().strip();
    }

    /** @return the device, its slot name, driver and description, on one line */
    @Override
    public String toString() {
        String description = description();
        return device + slotName().map(slot -> " (" + slot + ")").orElse("") + " " + driver
                + (description.isEmpty() ? "" : " " + description);
    }
}
