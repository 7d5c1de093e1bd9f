package serialslots;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.net.ProtocolException;
import java.util.ArrayList;
import java.util.List;
import java.util.SplittableRandom;
import serialslots.rfc2217.Telnet;
import org.junit.jupiter.api.Test;

/**
 * The telnet stream as a server may send it: half a million generated
 * streams come out as they went in whatever the split, and as many mutated
 * ones end in a ProtocolException or parse, never anything else.
 */
class TelnetTest {

    /** What a parser told, data bytes one by one so that splits do not matter. */
    private static List<String> parse(byte[] stream, int[] cuts) throws IOException {
        List<String> told = new ArrayList<>();
        Telnet telnet = new Telnet(new Telnet.Handler() {
            @Override
            public void data(byte[] bytes, int offset, int length) {
                for (int i = offset; i < offset + length; i++) {
                    told.add("d" + (bytes[i] & 0xFF));
                }
            }

            @Override
            public void negotiation(int verb, int option) {
                told.add("n" + verb + "/" + option);
            }

            @Override
            public void subnegotiation(int option, byte[] payload, int length) {
                told.add("s" + option + java.util.Arrays.toString(java.util.Arrays.copyOf(payload, length)));
            }
        });
        int from = 0;
        for (int cut : cuts) {
            telnet.feed(stream, from, cut - from);
            from = cut;
        }
        telnet.feed(stream, from, stream.length - from);
        return told;
    }

    /** Bytes with many 0xFF among them. */
    private static byte[] bytes(SplittableRandom random, int count) {
        byte[] bytes = new byte[count];
        for (int i = 0; i < count; i++) {
            bytes[i] = (byte) (random.nextBoolean() ? 0xFF : random.nextInt(256));
        }
        return bytes;
    }

    @Test
    void generatedStreamsParseAsTheyWereMadeAtAnySplitAndMutatedOnesFailOnlyAsBreaches() throws IOException {
        SplittableRandom random = new SplittableRandom(2217);
        int[] verbs = {Telnet.WILL, Telnet.WONT, Telnet.DO, Telnet.DONT};
        for (int round = 0; round < 500_000; round++) {
            ByteArrayOutputStream stream = new ByteArrayOutputStream();
            List<String> made = new ArrayList<>();
            for (int items = random.nextInt(8); items > 0; items--) {
                switch (random.nextInt(3)) {
                    case 0 -> {
                        byte[] data = bytes(random, random.nextInt(1, 6));
                        Telnet.escape(data, 0, data.length, stream);
                        for (byte b : data) {
                            made.add("d" + (b & 0xFF));
                        }
                    }
                    case 1 -> {
                        int verb = verbs[random.nextInt(4)];
                        int option = random.nextInt(256);
                        stream.writeBytes(new byte[] {(byte) Telnet.IAC, (byte) verb, (byte) option});
                        made.add("n" + verb + "/" + option);
                    }
                    default -> {
                        byte[] payload = bytes(random, random.nextInt(Telnet.MAX_SUBNEGOTIATION + 1));
                        int option = random.nextInt(256);
                        stream.writeBytes(Telnet.subnegotiation(option, payload));
                        made.add("s" + option + java.util.Arrays.toString(payload));
                    }
                }
            }
            byte[] bytes = stream.toByteArray();
            int[] cuts = random.ints(random.nextInt(4), 0, bytes.length + 1).sorted().toArray();
            assertEquals(made, parse(bytes, cuts));
            if (bytes.length > 0) {
                bytes[random.nextInt(bytes.length)] = (byte) random.nextInt(256);
                try {
                    parse(bytes, cuts);
                } catch (ProtocolException breach) {
                    // the one way a broken stream may end
                }
            }
        }
    }

    @Test
    void aBrokenSubnegotiationIsABreach() {
        byte[] tooLong = new byte[Telnet.MAX_SUBNEGOTIATION + 4];
        tooLong[0] = (byte) Telnet.IAC;
        tooLong[1] = (byte) Telnet.SB;
        byte[][] rows = {tooLong, {(byte) Telnet.IAC, (byte) Telnet.SB, 44, 1, (byte) Telnet.IAC, 'x'}};
        for (byte[] row : rows) {
            assertThrows(ProtocolException.class, () -> parse(row, new int[0]));
        }
    }
}
