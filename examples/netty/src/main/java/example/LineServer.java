package example;

import io.netty.bootstrap.Bootstrap;
import io.netty.channel.Channel;
import io.netty.channel.ChannelFutureListener;
import io.netty.channel.ChannelHandlerContext;
import io.netty.channel.ChannelInitializer;
import io.netty.channel.EventLoopGroup;
import io.netty.channel.SimpleChannelInboundHandler;
import io.netty.channel.nio.NioEventLoopGroup;
import io.netty.handler.codec.LineBasedFrameDecoder;
import io.netty.handler.codec.string.StringDecoder;
import io.netty.handler.codec.string.StringEncoder;
import java.nio.charset.StandardCharsets;
import serialslots.SerialEvent;
import serialslots.netty.SerialChannel;
import serialslots.netty.SerialChannelOption;
import serialslots.netty.SerialDeviceAddress;

/**
 * A line protocol on a serial port: each line a device sends is answered on
 * the channel's event loop, the same loop a program's TCP channels may use.
 *
 * <pre>
 * PING        PONG
 * ECHO text   text
 * BYE         BYE, and the server ends
 * </pre>
 */
public final class LineServer {

    public static void main(String[] args) throws InterruptedException {
        String port = args.length > 0 ? args[0] : "/dev/ttyUSB0";
        EventLoopGroup group = new NioEventLoopGroup(1);
        try {
            Channel channel = new Bootstrap().group(group).channel(SerialChannel.class)
                    .option(SerialChannelOption.BAUD_RATE, 115200)
                    .handler(new ChannelInitializer<SerialChannel>() {
                        @Override
                        protected void initChannel(SerialChannel channel) {
                            channel.pipeline().addLast(new LineBasedFrameDecoder(256),
                                    new StringDecoder(StandardCharsets.US_ASCII),
                                    new StringEncoder(StandardCharsets.US_ASCII), new Answers());
                        }
                    })
                    .connect(new SerialDeviceAddress(port)).sync().channel();
            System.out.println("serving " + port);
            channel.closeFuture().sync();
        } finally {
            group.shutdownGracefully().sync();
        }
    }

    private static final class Answers extends SimpleChannelInboundHandler<String> {
        @Override
        protected void channelRead0(ChannelHandlerContext context, String line) {
            String asked = line.strip();
            System.out.println("asked: " + asked);
            if (asked.equals("PING")) {
                context.writeAndFlush("PONG\n");
            } else if (asked.startsWith("ECHO ")) {
                context.writeAndFlush(asked.substring(5) + "\n");
            } else if (asked.equals("BYE")) {
                context.writeAndFlush("BYE\n").addListener(ChannelFutureListener.CLOSE);
            } else {
                context.writeAndFlush("ERR unknown command\n");
            }
        }

        /** The port's errors (a break, a framing error) come as user events. */
        @Override
        public void userEventTriggered(ChannelHandlerContext context, Object event) {
            if (event instanceof SerialEvent serial) {
                System.out.println("line event: " + serial.type());
            }
        }

        @Override
        public void exceptionCaught(ChannelHandlerContext context, Throwable cause) {
            System.err.println("closing: " + cause);
            context.close();
        }
    }
}
