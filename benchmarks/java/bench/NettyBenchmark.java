package bench;

import io.netty.bootstrap.Bootstrap;
import io.netty.buffer.ByteBuf;
import io.netty.buffer.Unpooled;
import io.netty.channel.Channel;
import io.netty.channel.ChannelFuture;
import io.netty.channel.ChannelHandlerContext;
import io.netty.channel.ChannelInboundHandlerAdapter;
import io.netty.channel.ChannelInitializer;
import io.netty.channel.DefaultEventLoopGroup;
import io.netty.channel.EventLoopGroup;
import io.netty.channel.nio.NioEventLoopGroup;
import io.netty.util.ReferenceCountUtil;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import serialslots.LineSettings;
import serialslots.SerialConnection;
import serialslots.netty.SerialChannel;
import serialslots.netty.SerialChannelOption;
import serialslots.netty.SerialDeviceAddress;

/**
 * The Netty channel against the blocking stream on the same lab ptys: the
 * echo round trip of one byte (/dev/ttyS2 echoes), bulk writes of 64 KiB
 * blocks (the lab drains /dev/ttyS3), and the threads 64 channels on one
 * event loop add (/dev/ttyUSB100 to 163 drain).
 */
public final class NettyBenchmark {

    private static final int ECHOES = VirtualBenchmark.ECHOES;
    private static final int BLOCK = VirtualBenchmark.BLOCK;
    private static final int BLOCKS = VirtualBenchmark.BLOCKS;

    private NettyBenchmark() {
    }

    public static void main(String[] args) throws Exception {
        boolean nio = !Boolean.getBoolean("bench.defaultLoop");
        EventLoopGroup group = nio ? new NioEventLoopGroup(1) : new DefaultEventLoopGroup(1);
        try {
            System.out.println("| measure (" + (nio ? "NioEventLoopGroup" : "DefaultEventLoopGroup")
                    + ") | Netty channel | blocking stream | ratio |");
            System.out.println("|---|---:|---:|---:|");
            double[] channel = channelEchoes(group, "/dev/ttyS2");
            double[] stream;
            try (SerialConnection port = SerialConnection.open("/dev/ttyS2", LineSettings.of(115200))) {
                stream = VirtualBenchmark.echoes(port);
            }
            for (int p : new int[] {50, 99}) {
                double c = ConnectionBenchmark.percentile(channel, p) / 1e3;
                double s = ConnectionBenchmark.percentile(stream, p) / 1e3;
                System.out.printf(Locale.ROOT, "| echo round trip, one byte, p%d | %.1f µs | %.1f µs | %.2fx |%n", p, c,
                        s, c / s);
            }
            channelBulk(group, "/dev/ttyS3", BLOCKS / 8);
            double channelRate = channelBulk(group, "/dev/ttyS3", BLOCKS);
            double streamRate;
            try (SerialConnection port = SerialConnection.open("/dev/ttyS3", LineSettings.of(115200))) {
                VirtualBenchmark.bulk(port, BLOCKS / 8);
                streamRate = VirtualBenchmark.bulk(port, BLOCKS);
            }
            System.out.printf(Locale.ROOT, "| bulk write, 64 KiB blocks | %.0f MB/s | %.0f MB/s | %.2f |%n", channelRate,
                    streamRate, channelRate / streamRate);
            threads(group);
        } finally {
            group.shutdownGracefully(100, 1_000, TimeUnit.MILLISECONDS).sync();
        }
    }

    private static Channel connect(EventLoopGroup group, String device, ChannelInboundHandlerAdapter handler)
            throws InterruptedException {
        return new Bootstrap().group(group).channel(SerialChannel.class)
                .option(SerialChannelOption.BAUD_RATE, 115200)
                .handler(new ChannelInitializer<Channel>() {
                    @Override
                    protected void initChannel(Channel channel) {
                        channel.pipeline().addLast(handler);
                    }
                })
                .connect(new SerialDeviceAddress(device)).sync().channel();
    }

    /** Each round trip timed on the loop: a byte goes out, its echo comes in, the next goes out. */
    private static double[] channelEchoes(EventLoopGroup group, String device) throws Exception {
        int rounds = ECHOES / 10 + ECHOES;
        double[] times = new double[rounds];
        CompletableFuture<Void> done = new CompletableFuture<>();
        Channel channel = connect(group, device, new ChannelInboundHandlerAdapter() {
            private int round;
            private long sent;

            @Override
            public void channelActive(ChannelHandlerContext context) {
                send(context);
            }

            @Override
            public void channelRead(ChannelHandlerContext context, Object message) {
                ByteBuf echoed = (ByteBuf) message;
                int got = echoed.readableBytes();
                ReferenceCountUtil.release(echoed);
                if (got == 0) {
                    return;
                }
                times[round++] = System.nanoTime() - sent;
                if (round == rounds) {
                    done.complete(null);
                } else {
                    send(context);
                }
            }

            private void send(ChannelHandlerContext context) {
                sent = System.nanoTime();
                context.writeAndFlush(Unpooled.wrappedBuffer(new byte[] {(byte) round}));
            }
        });
        done.get(60, TimeUnit.SECONDS);
        channel.close().sync();
        return java.util.Arrays.copyOfRange(times, ECHOES / 10, rounds);
    }

    private static double channelBulk(EventLoopGroup group, String device, int blocks) throws Exception {
        Channel channel = connect(group, device, new ChannelInboundHandlerAdapter());
        byte[] block = new byte[BLOCK];
        long start = System.nanoTime();
        ChannelFuture last = null;
        for (int i = 0; i < blocks; i++) {
            last = channel.writeAndFlush(Unpooled.wrappedBuffer(block));
        }
        last.sync();
        double rate = (double) BLOCK * blocks / (System.nanoTime() - start) * 1e3;
        channel.close().sync();
        return rate;
    }

    private static void threads(EventLoopGroup group) throws Exception {
        connect(group, "/dev/ttyUSB100", new ChannelInboundHandlerAdapter()).close().sync();
        int before = Thread.activeCount();
        List<Channel> channels = new ArrayList<>();
        for (int i = 0; i < 64; i++) {
            channels.add(connect(group, "/dev/ttyUSB" + (100 + i), new ChannelInboundHandlerAdapter()));
        }
        Thread.sleep(200);
        int with64 = Thread.activeCount();
        for (Channel channel : channels) {
            channel.close().sync();
        }
        System.out.printf(Locale.ROOT, "| threads: one channel open, then 64 on one loop | %d | %d | +%d |%n", before,
                with64, with64 - before);
    }
}
