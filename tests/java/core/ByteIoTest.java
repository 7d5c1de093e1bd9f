package core;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import static org.junit.jupiter.params.provider.Arguments.arguments;

import java.io.ByteArrayOutputStream;
import java.util.stream.Stream;
import lab.SerialLab;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

class ByteIoTest {

    private SerialLab.FarEnd device;

    @BeforeAll
    static void inLab() {
        Lab.requireLab();
    }

    @BeforeEach
    void openCom1() {
        device = SerialLab.attach("/dev/ttyS1");
        assertEquals(1, SerialPort.openPortC("COM1", "115200", "8", "1", "N"));
    }

    @AfterEach
    void closeCom1() {
        SerialPort.closePortC("COM1");
        device.close();
    }

    private byte[] sent() {
        return device.take(16, 50);
    }

    @ParameterizedTest
    @CsvSource({"65,0x41", "321,0x41", "255,0xFF", "-1,0xFF", "256,0x00", "-128,0x80", "10,0x0A",
        "13,0x0D", "17,0x11", "19,0x13", "0,0x00"})
    void anIntSendsExactlyItsLowByte(int data, String expected) {
        assertEquals(1, SerialPort.writeDataInt("COM1", data));
        assertArrayEquals(new byte[] {(byte) (int) Integer.decode(expected)}, sent());
    }

    @ParameterizedTest
    @CsvSource({"65,0x41", "233,0xE9", "321,0x41", "8364,0xAC", "10,0x0A"})
    void aCharSendsExactlyItsLowByte(int data, String expected) {
        assertEquals(1, SerialPort.writePortC("COM1", (char) data));
        assertArrayEquals(new byte[] {(byte) (int) Integer.decode(expected)}, sent());
    }

    static Stream<Arguments> strings() {
        return Stream.of(arguments("ABC", 0x41), arguments("", 0x00), arguments("\u00e9t\u00e9", 0xC3),
                arguments("\u20ac", 0xE2), arguments("\u0000A", 0xC0), arguments("\ud83d\ude00", 0xED));
    }

    @ParameterizedTest
    @MethodSource("strings")
    void aStringSendsTheFirstByteOfItsModifiedUtf8(String data, int expected) {
        assertEquals(1, SerialPort.writePortC("COM1", data));
        assertArrayEquals(new byte[] {(byte) expected}, sent());
    }

    @Test
    void aNullStringRaisesAndSendsNothing() {
        assertThrows(NullPointerException.class, () -> SerialPort.writePortC("COM1", (String) null));
        assertEquals(0, sent().length);
    }

    static Stream<Arguments> received() {
        return Stream.of(arguments(0x41, 65, '\u0041', "A"), arguments(0x00, 0, '\u0000', ""),
                arguments(0x7F, 127, '\u007f', "\u007f"), arguments(0x80, 128, '\uff80', "\u0080"),
                arguments(0xE9, 233, '\uffe9', "\u00e9"), arguments(0xFF, 255, '\uffff', "\u00ff"),
                arguments(0x0D, 13, '\r', "\r"), arguments(0x13, 19, '\u0013', "\u0013"));
    }

    @ParameterizedTest
    @MethodSource("received")
    void eachReadTakesOneByteInItsShape(int injected, int asInt, char asChar, String asText)
            throws Exception {
        byte b = (byte) injected;
        device.inject(b, b, b);
        Thread.sleep(5);
        assertEquals(asInt, SerialPort.readDataInt("COM1"));
        assertEquals(asChar, SerialPort.readPortLikeCharC("COM1"));
        assertEquals(asText, SerialPort.readPortC("COM1"));
        assertEquals(0, SerialPort.readDataInt("COM1"));
    }

    @Test
    void threeShapesShareOneQueue() throws Exception {
        assertEquals("", SerialPort.readPortC("COM1"));
        assertEquals(0, SerialPort.readPortLikeCharC("COM1"));
        device.inject((byte) 'A', (byte) 'B', (byte) 'C');
        Thread.sleep(5);
        assertEquals("A", SerialPort.readPortC("COM1"));
        assertEquals('B', SerialPort.readPortLikeCharC("COM1"));
        assertEquals(67, SerialPort.readDataInt("COM1"));
        assertEquals("", SerialPort.readPortC("COM1"));
    }

    @ParameterizedTest
    @ValueSource(strings = {"COM41", "COMUSB41", "com1", "/dev/ttyS0"})
    void unknownNamesRaiseAndTakeNoByte(String name) throws Exception {
        device.inject((byte) 'Z');
        Thread.sleep(5);
        Lab.assertRaises("Can not be read serial port.", () -> SerialPort.readDataInt(name));
        Lab.assertRaises("Can not be read serial port.", () -> SerialPort.readPortLikeCharC(name));
        Lab.assertRaises("Can not be read serial port.", () -> SerialPort.readPortC(name));
        Lab.assertRaises("Serial port does not exits.", () -> SerialPort.writeDataInt(name, 65));
        Lab.assertRaises("Serial port does not exits.", () -> SerialPort.writePortC(name, 'A'));
        Lab.assertRaises("Serial port does not exits.", () -> SerialPort.writePortC(name, "A"));
        assertEquals(0, sent().length);
        assertEquals('Z', SerialPort.readDataInt("COM1"));
    }

    @Test
    void aSlotWhoseOpenFailedReadsNothingAndRaisesOnWrite() {
        Lab.assertRaises("Error setting serial port COM2 = /dev/ttyS2.",
                () -> SerialPort.openPortC("COM2", "9600", "8", "1", "N"));
        assertEquals(0, SerialPort.readDataInt("COM2"));
        assertEquals("", SerialPort.readPortC("COM2"));
        Lab.assertRaises("Can not be write serial port COM2 = /dev/ttyS2.",
                () -> SerialPort.writeDataInt("COM2", 65));
        Lab.assertRaises("Can not be write serial port COMUSB17 = /dev/ttyUSB17.",
                () -> SerialPort.writePortC("COMUSB17", "A"));
    }

    @Test
    void aFullOutputQueueRaisesAtOnceAndDrainingRecovers() {
        int accepted = 0;
        Exception failure = null;
        while (failure == null && accepted < 1_000_000) {
            try {
                SerialPort.writeDataInt("COM1", 0x55);
                accepted++;
            } catch (Exception e) {
                failure = e;
            }
        }
        assertTrue(failure != null, "the queue never filled");
        assertEquals("Can not be write serial port COM1 = /dev/ttyS1.", failure.getMessage());
        assertEquals(accepted, device.take(accepted + 10, 100).length);
        assertEquals(1, SerialPort.writeDataInt("COM1", 0x41));
        assertArrayEquals(new byte[] {0x41}, sent());
    }

    @Test
    void aVanishedDeviceReadsNothingRaisesOnWriteAndCloses() {
        device.close();
        assertEquals(0, SerialPort.readDataInt("COM1"));
        assertEquals("", SerialPort.readPortC("COM1"));
        Lab.assertRaises("Can not be write serial port COM1 = /dev/ttyS1.",
                () -> SerialPort.writeDataInt("COM1", 65));
        assertEquals(1, SerialPort.closePortC("COM1"));
    }

    @Test
    void aFullExchangeOfAllByteValuesComesBackEqual() throws Exception {
        byte[] all = new byte[256];
        for (int i = 0; i < 256; i++) {
            all[i] = (byte) i;
            assertEquals(1, SerialPort.writeDataInt("COM1", i));
        }
        byte[] received = device.take(512, 200);
        assertArrayEquals(all, received, "what reached the far end");
        device.inject(received);
        ByteArrayOutputStream back = new ByteArrayOutputStream();
        long deadline = System.nanoTime() + 2_000_000_000L;
        int zeros = 0;
        // readDataInt answers 0 both for 0x00 and for "nothing yet": the one
        // zero byte is told apart by count, since the far end sent exactly 256.
        while (back.size() + zeros < 256 && System.nanoTime() < deadline) {
            int b = SerialPort.readDataInt("COM1");
            if (b != 0) {
                back.write(b);
            } else if (back.size() == 0 && zeros == 0) {
                zeros = 1;
            }
        }
        byte[] echoed = new byte[256];
        System.arraycopy(back.toByteArray(), 0, echoed, 1, back.size());
        assertArrayEquals(all, echoed, "what came back");
        assertEquals(1, SerialPort.closePortC("COM1"));
    }
}
