package serialslots;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import lab.SerialLab;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;
import serialslots.framing.Decoder;

/**
 * Framing against a model: random frames of each framing, noise where the
 * framing has room for it, frames too long and badly encoded, the stream
 * split into random reads; then lines through a lab pty and a virtual device.
 */
class FramingTest {

    private static final int MAX = 300;
    private static final int FRAMES = Boolean.getBoolean("serialslots.test.emulated") ? 20_000 : 140_000;

    static Stream<Framing> framings() {
        byte[] stx = {2};
        byte[] etx = {3};
        return Stream.of(Framing.delimiter("\r\n"), Framing.delimiter("\r\r\n"), Framing.delimiter("abab"),
                Framing.between(stx, etx), Framing.fixedLength(7), Framing.lengthField(2, 2, ByteOrder.BIG_ENDIAN, 1),
                Framing.lengthField(0, 1, ByteOrder.LITTLE_ENDIAN, 0), Framing.slip(), Framing.cobs())
                .map(framing -> framing.maxFrameLength(MAX));
    }

    /** What the model expects of a stream: its frames, and how many drops. */
    private record Expected(List<byte[]> frames, int drops) {
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("framings")
    void framesComeOutWholeAtEverySplitAndMemoryStaysBounded(Framing framing) {
        Random random = new Random(framing.toString().hashCode());
        ByteArrayOutputStream stream = new ByteArrayOutputStream();
        List<byte[]> frames = new ArrayList<>();
        int drops = 0;
        String kind = framing.toString();
        for (int i = 0; i < FRAMES; i++) {
            int roll = random.nextInt(100);
            byte[] tooLong = roll < 3 ? tooLong(framing, random) : null;
            if (tooLong != null) {
                stream.writeBytes(tooLong);
                drops++;
            } else if (roll < 5 && (kind.contains("slip") || kind.contains("cobs"))) {
                stream.writeBytes(kind.contains("slip") ? new byte[] {(byte) 0xC0, 'x', (byte) 0xDB, 'y', (byte) 0xC0}
                        : new byte[] {5, 'x', 0});
                drops++;
            } else if (roll < 8 && kind.contains("between")) {
                stream.writeBytes(new byte[] {'n', 'o', 3, 'i', 's', 'e'});  // an ETX among it
                drops++;
            }
            byte[] payload = payload(framing, random);
            stream.writeBytes(framing.encode(payload));
            boolean skipped = payload.length == 0 && (kind.contains("slip") || kind.contains("cobs"));
            if (!skipped) {
                frames.add(kind.contains("length_field") ? framing.encode(payload) : payload);
            }
        }
        byte[] all = stream.toByteArray();
        Expected got = decode(framing.decoder(), all, random, framing.maxFrameLength());
        assertEquals(frames.size(), got.frames().size(), kind + ": frames");
        for (int i = 0; i < frames.size(); i++) {
            assertArrayEquals(frames.get(i), got.frames().get(i), kind + ": frame " + i);
        }
        assertEquals(drops, got.drops(), kind + ": drops");
        // Garbage never makes it hold more than a frame's bound.
        byte[] garbage = new byte[1 << 20];
        random.nextBytes(garbage);
        decode(framing.decoder(), garbage, random, framing.maxFrameLength());
    }

    /** A payload the framing can carry. */
    private static byte[] payload(Framing framing, Random random) {
        for (;;) {
            byte[] payload = new byte[framing.toString().contains("fixed_length") ? 7 : random.nextInt(40)];
            random.nextBytes(payload);
            try {
                framing.encode(payload);
                return payload;
            } catch (IllegalArgumentException cannotCarry) {
                // a delimiter inside, or a length the field cannot say: another one
            }
        }
    }

    /** The bytes of a frame longer than the bound, or null where the framing has none. */
    private static byte[] tooLong(Framing framing, Random random) {
        byte[] payload = new byte[MAX + 1 + random.nextInt(MAX)];
        for (int i = 0; i < payload.length; i++) {
            payload[i] = (byte) ('a' + random.nextInt(2) * 2);  // 'a' and 'c': no delimiter of these framings
        }
        try {
            return framing.encode(payload);
        } catch (IllegalArgumentException cannotCarry) {
            return null;  // a fixed length, or a length field too short to say it
        }
    }

    /** Feeds `bytes` in random splits, checking the bound after each. */
    private static Expected decode(Decoder decoder, byte[] bytes, Random random, int max) {
        List<byte[]> frames = new ArrayList<>();
        int[] drops = {0};
        Decoder.Sink sink = new Decoder.Sink() {
            @Override
            public void frame(byte[] frame) {
                frames.add(frame);
            }

            @Override
            public void dropped(int length, Decoder.Drop why) {
                drops[0]++;
            }
        };
        for (int at = 0; at < bytes.length;) {
            int run = Math.min(bytes.length - at, 1 + random.nextInt(random.nextBoolean() ? 4 : 600));
            decoder.feed(bytes, at, run, sink);
            at += run;
            assertTrue(decoder.held() <= 2 * max + 16, "holds " + decoder.held());
        }
        return new Expected(frames, drops[0]);
    }

    static Stream<Framing> framingsOfPayloadsAlone() {
        return Stream.of(Framing.delimiter("\r\n"), Framing.between(new byte[] {2}, new byte[] {3}), Framing.slip(),
                Framing.cobs());
    }

    /** A frame exactly as long as the bound is taken and one byte longer is dropped. */
    @ParameterizedTest(name = "{0}")
    @MethodSource("framingsOfPayloadsAlone")
    void aFrameOfExactlyTheBoundIsTakenAndOneByteMoreIsDropped(Framing any) {
        int bound = 509;  // where COBS needs three code bytes
        Framing framing = any.maxFrameLength(bound);
        for (int length : new int[] {bound, bound + 1}) {
            byte[] payload = new byte[length];
            for (int i = 0; i < length; i++) {
                payload[i] = (byte) (i % 2 == 0 ? 'a' : 'c');
            }
            Expected got = decode(framing.decoder(), framing.encode(payload), new Random(length), bound);
            assertEquals(List.of(length == bound ? 1 : 0, length == bound ? 0 : 1),
                    List.of(got.frames().size(), got.drops()), length + " bytes");
        }
    }

    @Test
    void encodeRefusesWhatNoFrameCanCarry() {
        assertThrows(IllegalArgumentException.class, () -> Framing.delimiter("\r\n").encode("a\r\nb".getBytes()));
        assertThrows(IllegalArgumentException.class, () -> Framing.fixedLength(4).encode(new byte[3]));
        assertThrows(IllegalArgumentException.class,
                () -> Framing.lengthField(0, 1, ByteOrder.BIG_ENDIAN, 0).encode(new byte[256]));
        assertThrows(IllegalArgumentException.class, () -> Framing.delimiter(new byte[0]));
        assertArrayEquals(new byte[] {0, 3, 'a', 'b', 'c'},
                Framing.lengthField(0, 2, ByteOrder.BIG_ENDIAN, 0).encode("abc".getBytes()));
    }

    /** Lines with split and overlapping delimiters, and an endless one, through a lab pty or a virtual device. */
    @ParameterizedTest
    @ValueSource(booleans = {false, true})
    void linesAreReadWholeAndAnEndlessOneIsDroppedOverARealConnection(boolean virtual) throws Exception {
        VirtualDevice device = virtual ? VirtualDevice.create("lines") : null;
        SerialLab.FarEnd end = virtual ? null : SerialLab.attach("/dev/ttyUSB11");
        try (SerialConnection port = SerialConnection.open(virtual ? device.name() : "/dev/ttyUSB11",
                LineSettings.of(115200))) {
            port.setReadTimeout(3000);
            IoStep send = bytes -> {
                if (virtual) {
                    device.output().write(bytes);
                } else {
                    end.inject(bytes);
                }
            };
            Framing lines = Framing.delimiter("\r\r\n");
            BlockingQueue<String> heard = new LinkedBlockingQueue<>();
            try (FrameReader reader = port.frames(lines)) {
                send.accept("ab\r".getBytes(StandardCharsets.US_ASCII));
                send.accept("\r\nx\r\r".getBytes(StandardCharsets.US_ASCII));
                send.accept("\r\n".getBytes(StandardCharsets.US_ASCII));
                assertEquals("ab", new String(reader.read(), StandardCharsets.US_ASCII));
                assertEquals("x\r", new String(reader.read(), StandardCharsets.US_ASCII));
                // More than either end holds: sent while the reader reads.
                Thread endless = new Thread(() -> {
                    try {
                        send.accept(new byte[70_000]);
                        send.accept("\r\r\nok\r\r\n".getBytes(StandardCharsets.US_ASCII));
                    } catch (IOException e) {
                        throw new IllegalStateException(e);
                    }
                });
                endless.start();
                assertThrows(FrameTooLongException.class, reader::read);
                assertEquals("ok", new String(reader.read(), StandardCharsets.US_ASCII));
                assertEquals(1, reader.dropped());
                endless.join();
            }
            Subscription listening = port.listenFrames(lines, new FrameListener() {
                @Override
                public void frame(SerialConnection connection, byte[] frame) {
                    heard.add(new String(frame, StandardCharsets.US_ASCII));
                }

                @Override
                public void dropped(SerialConnection connection, int length, String why) {
                    heard.add(length + " " + why);
                }
            });
            send.accept("one\r\r\ntw".getBytes(StandardCharsets.US_ASCII));
            send.accept("o\r\r\n".getBytes(StandardCharsets.US_ASCII));
            assertEquals(List.of("one", "two"), List.of(heard.poll(5, TimeUnit.SECONDS), heard.poll(5, TimeUnit.SECONDS)));
            if (virtual) {
                send.accept("unfinished".getBytes(StandardCharsets.US_ASCII));
                Thread.sleep(200);
                device.unplug();
                assertEquals("10 unfinished when the device went away", heard.poll(5, TimeUnit.SECONDS));
                listening.close();
                assertNull(port.frames(lines).read(), "a hang-up ends a reader");
            }
            listening.close();
        } finally {
            if (device != null) {
                device.close();
            }
            if (end != null) {
                end.close();
            }
        }
    }

    private interface IoStep {
        void accept(byte[] bytes) throws IOException;
    }
}
