package tool;

import java.io.ByteArrayOutputStream;

/** Hex and printable renderings of bytes, and hex parsing. */
final class Bytes {

    private Bytes() {
    }

    static String hex(byte[] bytes) {
        StringBuilder text = new StringBuilder();
        for (byte b : bytes) {
            if (text.length() > 0) {
                text.append(' ');
            }
            text.append(String.format("%02X", b & 0xFF));
        }
        return text.toString();
    }

    /** Printable ASCII as itself, everything else as '.'. */
    static String printable(byte[] bytes) {
        StringBuilder text = new StringBuilder();
        for (byte b : bytes) {
            text.append(b >= 0x20 && b < 0x7F ? (char) b : '.');
        }
        return text.toString();
    }

    static String describe(byte[] bytes) {
        return bytes.length + (bytes.length == 1 ? " byte" : " bytes")
                + (bytes.length == 0 ? "" : ": " + hex(bytes) + "  |" + printable(bytes) + "|");
    }

    /** "41 42 0d", "41,42", "41420d" or "0x41 0x42" into bytes. */
    static byte[] parseHex(String text) throws SerialTool.UsageException {
        String digits = text.replaceAll("0[xX]", "").replaceAll("[\\s,:]", "");
        if (digits.isEmpty() || digits.length() % 2 != 0 || !digits.matches("[0-9a-fA-F]+")) {
            throw new SerialTool.UsageException("not hex bytes: '" + text + "'");
        }
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        for (int i = 0; i < digits.length(); i += 2) {
            bytes.write(Integer.parseInt(digits.substring(i, i + 2), 16));
        }
        return bytes.toByteArray();
    }
}
