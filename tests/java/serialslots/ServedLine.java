package serialslots;

import contract.Ser2net;
import java.io.IOException;
import lab.SerialLab;

/** A lab pty served by ser2net: the connection opens `device`, the server's name for it. */
record ServedLine(String device, SerialLab.FarEnd end, Ser2net server) implements ConnectionTest.PtyFarEnd {
    @Override
    public boolean fillsWhenUnread() {
        return false;  // TCP holds megabytes before a write waits
    }

    @Override
    public boolean locksLikeTheKernel() {
        return false;  // the server decides who may open
    }

    @Override
    public void close() throws IOException {
        server.close();
        end.close();
    }
}
