package serialslots;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import contract.ConnectionContract;
import contract.Line;
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
import io.netty.channel.SimpleChannelInboundHandler;
import io.netty.channel.nio.NioEventLoopGroup;
import io.netty.handler.codec.LineBasedFrameDecoder;
import io.netty.handler.codec.string.StringDecoder;
import java.nio.channels.ClosedChannelException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.function.Supplier;
import java.util.stream.Stream;
import lab.SerialLab;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;
import serialslots.netty.SerialChannel;
import serialslots.netty.SerialChannelOption;
import serialslots.netty.SerialDeviceAddress;

/** The Netty channel: pipelines on ptys, virtual devices and ser2net, many channels on one loop, a stalled far end. */
class NettyChannelTest {

    static Stream<Supplier<Line>> lines() {
        return Stream.of(ConnectionTest.lines(), VirtualDeviceTest.lines(), SocketConnectionTest.lines())
                .flatMap(lines -> lines);
    }

    private static Channel connect(EventLoopGroup group, String device, ChannelInitializer<Channel> pipeline)
            throws InterruptedException {
        ChannelFuture connected = new Bootstrap().group(group).channel(SerialChannel.class)
                .option(SerialChannelOption.BAUD_RATE, 115200).handler(pipeline)
                .connect(new SerialDeviceAddress(device));
        assertTrue(connected.await(5, TimeUnit.SECONDS) && connected.isSuccess(), String.valueOf(connected.cause()));
        return connected.channel();
    }

    /** A line protocol: lines split anywhere are answered one by one, and the far end's going ends the channel. */
    @ParameterizedTest(name = "{0}")
    @MethodSource("lines")
    void aLinePipelineAnswersEachLineAndEndsWithTheDevice(Supplier<Line> lines) throws Exception {
        EventLoopGroup group = new NioEventLoopGroup(1);
        try (Line line = lines.get()) {
            Channel channel = connect(group, line.device(), new ChannelInitializer<>() {
                @Override
                protected void initChannel(Channel channel) {
                    channel.pipeline().addLast(new LineBasedFrameDecoder(256), new StringDecoder(StandardCharsets.UTF_8),
                            new SimpleChannelInboundHandler<String>() {
                                @Override
                                protected void channelRead0(ChannelHandlerContext context, String asked) {
                                    context.writeAndFlush(Unpooled.copiedBuffer("ok:" + asked + "\n",
                                            StandardCharsets.UTF_8));
                                }
                            });
                }
            });
            // A byte through first: a server opens the device only once a client connects.
            channel.writeAndFlush(Unpooled.copiedBuffer("?", StandardCharsets.US_ASCII)).sync();
            assertEquals("?", new String(line.receive(1, 3_000), StandardCharsets.US_ASCII));
            line.send("hello\r\nwor".getBytes(StandardCharsets.US_ASCII));
            line.send("ld\n".getBytes(StandardCharsets.US_ASCII));
            String answered = "ok:hello\nok:world\n";
            assertEquals(answered, new String(line.receive(answered.length(), 3_000), StandardCharsets.UTF_8));
            channel.close().sync();
            assertFalse(channel.isOpen());
        } finally {
            group.shutdownGracefully(100, 1_000, TimeUnit.MILLISECONDS).sync();
        }
    }

    /** With autoRead off, arrivals wait in the port until the pipeline asks; a gap makes what came together one buffer. */
    @org.junit.jupiter.api.Test
    void autoReadOffHoldsArrivalsBackAndAnIdleGapMakesOneBufferOfABurst() throws Exception {
        EventLoopGroup group = new DefaultEventLoopGroup(1);
        try (SerialLab.FarEnd end = SerialLab.attach("/dev/ttyUSB42")) {
            BlockingQueue<String> read = new LinkedBlockingQueue<>();
            Channel channel = connect(group, "/dev/ttyUSB42", new ChannelInitializer<>() {
                @Override
                protected void initChannel(Channel channel) {
                    channel.config().setAutoRead(false);
                    channel.pipeline().addLast(new SimpleChannelInboundHandler<ByteBuf>() {
                        @Override
                        protected void channelRead0(ChannelHandlerContext context, ByteBuf bytes) {
                            read.add(bytes.toString(StandardCharsets.US_ASCII));
                        }
                    });
                }
            });
            end.inject("held".getBytes(StandardCharsets.US_ASCII));
            assertEquals(null, read.poll(300, TimeUnit.MILLISECONDS), "read with autoRead off");
            channel.read();
            assertEquals("held", read.poll(2, TimeUnit.SECONDS));
            channel.eventLoop().submit(() -> null).sync();  // that read is over
            channel.config().setOption(SerialChannelOption.IDLE_GAP_MICROS, 100_000);
            channel.config().setAutoRead(true);
            for (String part : new String[] {"one ", "burst ", "in parts"}) {
                end.inject(part.getBytes(StandardCharsets.US_ASCII));
                Thread.sleep(10);
            }
            assertEquals("one burst in parts", read.poll(2, TimeUnit.SECONDS));
            channel.close().sync();
        } finally {
            group.shutdownGracefully(100, 1_000, TimeUnit.MILLISECONDS).sync();
        }
    }

    static Stream<Supplier<Line>> linesThatFill() {
        return Stream.concat(ConnectionTest.lines(), VirtualDeviceTest.lines());
    }

    /** Writability falls while the far end reads nothing and comes back; the loop is never blocked; nothing is lost. */
    @ParameterizedTest(name = "{0}")
    @MethodSource("linesThatFill")
    void aFarEndThatStopsReadingHoldsWritesBackWithoutBlockingTheLoopAndCloseEndsThem(Supplier<Line> lines)
            throws Exception {
        EventLoopGroup group = new DefaultEventLoopGroup(1);
        int descriptors = SerialLab.deviceDescriptors();
        try (Line line = lines.get()) {
            BlockingQueue<Boolean> writability = new LinkedBlockingQueue<>();
            Channel channel = connect(group, line.device(), new ChannelInitializer<>() {
                @Override
                protected void initChannel(Channel channel) {
                    channel.pipeline().addLast(new ChannelInboundHandlerAdapter() {
                        @Override
                        public void channelWritabilityChanged(ChannelHandlerContext context) {
                            writability.add(context.channel().isWritable());
                        }
                    });
                }
            });
            byte[] lots = ConnectionContract.everyByteValue(1024);
            ChannelFuture written = channel.writeAndFlush(Unpooled.wrappedBuffer(lots));
            awaitWritability(writability, false);
            long asked = System.nanoTime();
            channel.eventLoop().submit(() -> null).get(1, TimeUnit.SECONDS);
            assertTrue(System.nanoTime() - asked < TimeUnit.MILLISECONDS.toNanos(500), "the loop was blocked");
            assertArrayEquals(lots, line.receive(lots.length, 2_000), "bytes lost or reordered");
            assertTrue(written.await(5, TimeUnit.SECONDS) && written.isSuccess());
            awaitWritability(writability, true);
            // Stalled again, then closed from another thread: the write fails, close returns.
            ChannelFuture stalled = channel.writeAndFlush(Unpooled.wrappedBuffer(lots));
            awaitWritability(writability, false);
            assertTrue(channel.close().await(2, TimeUnit.SECONDS));
            assertTrue(stalled.await(2, TimeUnit.SECONDS));
            assertTrue(stalled.cause() instanceof ClosedChannelException, String.valueOf(stalled.cause()));
        } finally {
            group.shutdownGracefully(100, 1_000, TimeUnit.MILLISECONDS).sync();
        }
        assertEquals(descriptors, SerialLab.deviceDescriptors(), "a descriptor leaked");
    }

    /** Each of 64 channels on one loop gets its bytes back, and the threads do not grow with the channels. */
    @ParameterizedTest
    @ValueSource(strings = {"nio", "default"})
    void sixtyFourChannelsShareOneLoopAndNoThreadComesPerChannel(String kind) throws Exception {
        EventLoopGroup group = kind.equals("nio") ? new NioEventLoopGroup(1) : new DefaultEventLoopGroup(1);
        List<SerialLab.FarEnd> ends = new ArrayList<>();
        try {
            try (SerialLab.FarEnd warmUp = SerialLab.attach("/dev/ttyUSB41")) {
                connect(group, warmUp.devicePath(), echoBack()).close().sync();
            }
            int threadsBefore = Thread.activeCount();
            List<Channel> channels = new ArrayList<>();
            for (int i = 0; i < 64; i++) {
                SerialLab.FarEnd end = SerialLab.attach("/dev/ttyUSB" + (200 + i));
                ends.add(end);
                channels.add(connect(group, end.devicePath(), echoBack()));
            }
            for (int i = 0; i < 64; i++) {
                ends.get(i).inject((byte) i, (byte) (i + 1));
            }
            for (int i = 0; i < 64; i++) {
                assertArrayEquals(new byte[] {(byte) i, (byte) (i + 1)}, ends.get(i).take(2, 3_000), "channel " + i);
            }
            int grown = Thread.activeCount() - threadsBefore;
            assertTrue(grown < 8, grown + " threads more for 64 channels");
            for (Channel channel : channels) {
                channel.close().sync();
            }
        } finally {
            ends.forEach(SerialLab.FarEnd::close);
            group.shutdownGracefully(100, 1_000, TimeUnit.MILLISECONDS).sync();
        }
    }

    /** Netty tells a write from another thread as two changes: waits for the one wanted. */
    private static void awaitWritability(BlockingQueue<Boolean> told, boolean wanted) throws InterruptedException {
        for (Boolean now; (now = told.poll(5, TimeUnit.SECONDS)) != null;) {
            if (now == wanted) {
                return;
            }
        }
        throw new AssertionError("writability never became " + wanted);
    }

    /** A pipeline that sends back every buffer it reads. */
    private static ChannelInitializer<Channel> echoBack() {
        return new ChannelInitializer<>() {
            @Override
            protected void initChannel(Channel channel) {
                channel.pipeline().addLast(new SimpleChannelInboundHandler<ByteBuf>() {
                    @Override
                    protected void channelRead0(ChannelHandlerContext context, ByteBuf bytes) {
                        context.writeAndFlush(bytes.retain());
                    }
                });
            }
        };
    }
}
