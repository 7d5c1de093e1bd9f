package core;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import lab.SerialLab;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** Device faults and misuse: each ends in the stated exception or no-byte value. */
class FaultTest {

    private int descriptorsBefore;

    @BeforeAll
    static void inLab() {
        Lab.requireLab();
    }

    @BeforeEach
    void countDescriptors() {
        descriptorsBefore = Lab.openDescriptors();
    }

    @AfterEach
    void nothingLeaked() {
        for (int n = 0; n <= 40; n++) {
            SerialPort.closePortC("COM" + n);
            SerialPort.closePortC("COMUSB" + n);
        }
        assertEquals(descriptorsBefore, Lab.openDescriptors(), "a descriptor leaked");
    }

    @Test
    void aDeviceThatDisappearsAndComesBackCanBeOpenedAgain() throws Exception {
        SerialLab.FarEnd first = SerialLab.attach("/dev/ttyUSB2");
        SerialPort.openPortC("COMUSB2", "9600", "8", "1", "N");
        first.close();
        assertEquals(0, SerialPort.readDataInt("COMUSB2"));
        assertEquals('\0', SerialPort.readPortLikeCharC("COMUSB2"));
        Lab.assertRaises("Can not be write serial port COMUSB2 = /dev/ttyUSB2.",
                () -> SerialPort.writePortC("COMUSB2", 'x'));
        Lab.assertRaises("Error setting serial port COMUSB2 = /dev/ttyUSB2.",
                () -> SerialPort.openPortC("COMUSB2", "9600", "8", "1", "N"));
        try (SerialLab.FarEnd again = SerialLab.attach("/dev/ttyUSB2")) {
            assertEquals(1, SerialPort.openPortC("COMUSB2", "9600", "8", "1", "N"));
            SerialPort.writeDataInt("COMUSB2", 0x42);
            assertArrayEquals(new byte[] {0x42}, again.take(4, 200));
            assertEquals(1, SerialPort.closePortC("COMUSB2"));
        }
        assertEquals(1, SerialPort.closePortC("COMUSB2"));
    }

    @Test
    void nodesThatAreNoSerialDeviceGiveTheSlotsMessages() throws Exception {
        Path node = Path.of("/dev/ttyS6");
        Files.write(node, new byte[0]);
        Lab.assertRaises("Error set parameters.", () -> SerialPort.openPortC("COM6", "9600", "8", "1", "N"));
        Files.delete(node);
        Files.createDirectory(node);
        Lab.assertRaises("Error setting serial port COM6 = /dev/ttyS6.",
                () -> SerialPort.openPortC("COM6", "9600", "8", "1", "N"));
        Files.delete(node);
        SerialLab.makeFifo(node.toString());
        Lab.assertRaises("Error set parameters.", () -> SerialPort.openPortC("COM6", "9600", "8", "1", "N"));
        Files.delete(node);
        Files.createSymbolicLink(node, Path.of("/dev/ttyS-gone"));
        Lab.assertRaises("Error setting serial port COM6 = /dev/ttyS6.",
                () -> SerialPort.openPortC("COM6", "9600", "8", "1", "N"));
        Files.delete(node);
        Files.write(Path.of("/dev/ttyS0"), new byte[0]);
        Lab.assertRaises("Error set parameters COM0 = /dev/ttyS0.",
                () -> SerialPort.openPortC("COM0", "9600", "8", "1", "N"));
        Files.delete(Path.of("/dev/ttyS0"));
        Lab.assertRaises("Can not be write serial port COM6 = /dev/ttyS6.", () -> SerialPort.writeDataInt("COM6", 1));
    }

    @Test
    void anOpenPortKeepsItsDeviceWhenTheNodeIsReplaced() throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyS8")) {
            SerialPort.openPortC("COM8", "9600", "8", "1", "N");
            Path node = Path.of("/dev/ttyS8");
            Files.delete(node);
            Files.write(node, new byte[0]);
            SerialPort.writeDataInt("COM8", 0x38);
            assertArrayEquals(new byte[] {0x38}, device.take(4, 200));
            assertEquals(0, Files.size(node));
            Files.delete(node);
        }
    }

    @Test
    void slotsOutsideTheirOpenWindowReadNothingAndRaiseOnWrite() throws Exception {
        try (SerialLab.FarEnd closed = SerialLab.attach("/dev/ttyS9");
                SerialLab.FarEnd rejected = SerialLab.attach("/dev/ttyUSB9")) {
            SerialPort.openPortC("COM9", "9600", "8", "1", "N");
            SerialPort.closePortC("COM9");
            Lab.assertRaises("Error set parameters.", () -> SerialPort.openPortC("COMUSB9", "1234", "8", "1", "N"));
            Lab.assertRaises("Error setting serial port COMUSB31 = /dev/ttyUSB31.",
                    () -> SerialPort.openPortC("COMUSB31", "9600", "8", "1", "N"));
            closed.inject((byte) 'q');
            // never opened, closed, parameters rejected, open failed
            for (String name : List.of("COM30", "COM9", "COMUSB9", "COMUSB31")) {
                assertEquals(0, SerialPort.readDataInt(name), name);
                assertEquals('\0', SerialPort.readPortLikeCharC(name), name);
                assertEquals("", SerialPort.readPortC(name), name);
                String path = name.startsWith("COMUSB") ? "/dev/ttyUSB" + name.substring(6) : "/dev/ttyS" + name.substring(3);
                Lab.assertRaises("Can not be write serial port " + name + " = " + path + ".",
                        () -> SerialPort.writeDataInt(name, 65));
                assertEquals(1, SerialPort.closePortC(name), name);
            }
            assertEquals(0, closed.take(4, 50).length, "a closed slot still sent");
            assertEquals(0, rejected.take(4, 50).length, "a rejected slot still sent");
        }
    }

    @Test
    void oneThreadReadsASlotWhileAnotherWritesIt() throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyS10").echo()) {
            SerialPort.openPortC("COM10", "460800", "8", "1", "N");
            int count = 20_000;
            ExecutorService pool = Executors.newFixedThreadPool(2);
            try {
                Future<?> writer = pool.submit(() -> {
                    for (int i = 0; i < count; i++) {
                        writeRetrying("COM10", i % 255 + 1);
                    }
                    return null;
                });
                Future<byte[]> reader = pool.submit(() -> readExactly("COM10", count));
                writer.get(60, TimeUnit.SECONDS);
                byte[] back = reader.get(60, TimeUnit.SECONDS);
                for (int i = 0; i < count; i++) {
                    assertEquals((byte) (i % 255 + 1), back[i], "byte " + i);
                }
            } finally {
                pool.shutdownNow();
            }
        }
    }

    @Test
    void threadsOnDifferentSlotsExchangeAtOnce() throws Exception {
        String[][] slots = {{"COM11", "/dev/ttyS11"}, {"COMUSB11", "/dev/ttyUSB11"}, {"COM40", "/dev/ttyS40"},
            {"COMUSB40", "/dev/ttyUSB40"}};
        List<SerialLab.FarEnd> devices = new ArrayList<>();
        ExecutorService pool = Executors.newFixedThreadPool(slots.length);
        try {
            List<Future<?>> runs = new ArrayList<>();
            for (String[] slot : slots) {
                devices.add(SerialLab.attach(slot[1]).echo());
                Callable<Void> exchange = () -> {
                    for (int round = 0; round < 20; round++) {
                        assertEquals(1, SerialPort.openPortC(slot[0], "115200", "8", "1", "N"));
                        for (int i = 1; i <= 50; i++) {
                            writeRetrying(slot[0], i);
                            assertEquals(i, readExactly(slot[0], 1)[0]);
                        }
                        assertEquals(1, SerialPort.closePortC(slot[0]));
                    }
                    return null;
                };
                runs.add(pool.submit(exchange));
            }
            for (Future<?> run : runs) {
                run.get(120, TimeUnit.SECONDS);
            }
        } finally {
            pool.shutdownNow();
            devices.forEach(SerialLab.FarEnd::close);
        }
    }

    private static void writeRetrying(String port, int value) throws InterruptedException {
        for (;;) {
            try {
                SerialPort.writeDataInt(port, value);
                return;
            } catch (Exception fullQueue) {
                Thread.sleep(1);
            }
        }
    }

    private static byte[] readExactly(String port, int count) {
        byte[] bytes = new byte[count];
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        for (int got = 0; got < count && System.nanoTime() < deadline;) {
            int b = SerialPort.readDataInt(port);
            if (b != 0) {
                bytes[got++] = (byte) b;
            } else {
                Thread.onSpinWait();
            }
        }
        return bytes;
    }
}
