package example;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.Executors;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import serialslots.LineSettings;
import serialslots.Parity;
import serialslots.VirtualDevice;

class ThermometerTest {

    private VirtualDevice device;

    @BeforeEach
    void plugIn() throws IOException {
        device = VirtualDevice.create("thermometer");
    }

    @AfterEach
    void unplug() {
        device.close();
    }

    @Test
    void answersARequestWithTheMeasurement() throws IOException {
        device.respond(request -> "MEAS?\r\n".equals(new String(request, StandardCharsets.US_ASCII))
                ? "21.5\r\n".getBytes(StandardCharsets.US_ASCII) : null);
        try (Thermometer thermometer = new Thermometer(device.name())) {
            assertEquals(21.5, thermometer.read());
        }
    }

    @Test
    void saysSoWhenTheCableIsPulledMidRead() throws Exception {
        ScheduledExecutorService later = Executors.newSingleThreadScheduledExecutor();
        try (Thermometer thermometer = new Thermometer(device.name())) {
            later.schedule(device::unplug, 100, TimeUnit.MILLISECONDS);
            IOException failure = assertThrows(IOException.class, thermometer::read);
            assertEquals("the thermometer was unplugged", failure.getMessage());
        } finally {
            later.shutdown();
        }
    }

    @Test
    void raisesDtrAndSets9600EvenParity() throws IOException {
        try (Thermometer unused = new Thermometer(device.name())) {
            assertTrue(device.isOpen());
            assertTrue(device.dtr());
            assertEquals(LineSettings.of(9600).withParity(Parity.EVEN), device.settings());
        }
    }
}
