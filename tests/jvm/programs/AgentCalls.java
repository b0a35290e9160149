import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.lang.reflect.Field;
import java.lang.reflect.Method;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.net.StandardSocketOptions;
import java.nio.channels.SocketChannel;
import java.nio.file.Files;
import java.nio.file.Paths;

// Calls the agent's natives as its Java side does. Run with
// --add-opens java.base/sun.nio.ch=ALL-UNNAMED, so that a socket's descriptor can be read.
public class AgentCalls {
  static Method callback(String name, Class<?>... parameters) throws Exception {
    return Class.forName("com.brantel.runtime.Callback").getMethod(name, parameters);
  }

  // The table reply for `mask` (rows since stamp 0), as the agent sent it on a loopback socket.
  static byte[] tableReply(int mask) throws Exception {
    return tableReply(mask, new int[20]);
  }

  // The table reply for `mask` with the rows of table i changed since stamp since[i].
  static byte[] tableReply(int mask, int[] since) throws Exception {
    try (ServerSocket server = new ServerSocket(0, 1, InetAddress.getLoopbackAddress());
        SocketChannel agentSide = SocketChannel.open(server.getLocalSocketAddress());
        Socket client = server.accept()) {
      ByteArrayOutputStream received = new ByteArrayOutputStream();
      Thread reader = new Thread(() -> {
        try (InputStream in = client.getInputStream()) {
          byte[] buffer = new byte[65536];
          for (int n; (n = in.read(buffer)) > 0; ) {
            received.write(buffer, 0, n);
          }
        } catch (Exception e) {
          throw new RuntimeException(e);
        }
      });
      reader.start();
      callback("writeTables", int.class, int.class, int[].class).invoke(null, descriptorOf(agentSide), mask, since);
      agentSide.shutdownOutput();
      reader.join();
      return received.toByteArray();
    }
  }

  static int descriptorOf(SocketChannel channel) throws Exception {
    Field fdVal = channel.getClass().getDeclaredField("fdVal");
    fdVal.setAccessible(true);
    return fdVal.getInt(channel);
  }

  // The table reply for `mask` (rows since stamp 0) to a client that closes its socket once it has read
  // `keep` bytes. The socket buffers are as small as the system allows, so that a reply of more than a
  // few kilobytes is still being sent then. Answers the bytes the client read.
  static int replyCutShort(int mask, int keep) throws Exception {
    try (ServerSocket server = new ServerSocket()) {
      server.setReceiveBufferSize(1);
      server.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 1);
      try (SocketChannel agentSide = SocketChannel.open()) {
        agentSide.setOption(StandardSocketOptions.SO_SNDBUF, 1);
        agentSide.connect(server.getLocalSocketAddress());
        Socket client = server.accept();
        int[] read = {0};
        Thread reader = new Thread(() -> {
          // Closed with bytes unread, the socket resets the connection.
          try (Socket closing = client; InputStream in = closing.getInputStream()) {
            byte[] buffer = new byte[keep];
            for (int n; read[0] < keep && (n = in.read(buffer, read[0], keep - read[0])) > 0; ) {
              read[0] += n;
            }
          } catch (Exception e) {
            throw new RuntimeException(e);
          }
        });
        reader.start();
        callback("writeTables", int.class, int.class, int[].class).invoke(null, descriptorOf(agentSide), mask,
            new int[20]);
        reader.join();
        return read[0];
      }
    }
  }

  // Starts and joins `count` threads, then writes the "thread" table's reply to `replyFile`.
  static void threads(int count, String replyFile) throws Exception {
    Thread[] threads = new Thread[count];
    for (int i = 0; i < count; i++) {
      threads[i] = new Thread(() -> {
        long sum = 0;
        for (int k = 0; k < 100000; k++) {
          sum += k;
        }
        if (sum < 0) {
          System.out.println(sum);
        }
      }, "worker-" + i);
      threads[i].start();
    }
    for (Thread thread : threads) {
      thread.join();
    }
    Files.write(Paths.get(replyFile), tableReply(0x2));
  }

  // Runs out of heap, then waits for the agent to record the JVM's heap dump in `directory`.
  static void outOfMemory(String directory) throws Exception {
    String dump = Paths.get(directory, "java_pid" + ProcessHandle.current().pid() + ".hprof").toString();
    java.util.List<long[]> hog = new java.util.ArrayList<>();
    try {
      while (true) {
        hog.add(new long[1 << 16]);
      }
    } catch (OutOfMemoryError expected) {
      hog = null;
    }
    Method findSnapshot = callback("findSnapshot", String.class);
    for (int i = 0; i < 200; i++) {
      if ((Boolean) findSnapshot.invoke(null, dump)) {
        System.out.println("heap dump recorded: " + dump);
        return;
      }
      Thread.sleep(50);
    }
    System.out.println("heap dump not recorded: " + dump);
  }

  // Leaves while threads start, end and throw, so that the agent's exit work meets busy threads.
  static void exitWhileBusy() throws Exception {
    for (int i = 0; i < 4; i++) {
      Thread spawner = new Thread(() -> {
        while (true) {
          Thread child = new Thread(() -> {
            try {
              throw new IllegalStateException("busy");
            } catch (IllegalStateException expected) {
              // thrown for the agent's exception events
            }
          });
          child.setDaemon(true);
          child.start();
        }
      }, "spawner-" + i);
      spawner.setDaemon(true);
      spawner.start();
    }
    Thread.sleep(100);
    System.out.println("leaving");
  }

  public static void main(String[] args) throws Exception {
    switch (args[0]) {
      case "threads":
        threads(Integer.parseInt(args[1]), args[2]);
        break;
      case "outOfMemory":
        outOfMemory(args[1]);
        break;
      case "messages":
        callback("messageToStdout", String.class).invoke(null, "to standard output");
        callback("messageToStderr", String.class).invoke(null, "to standard error");
        callback("messageToLogFile", String.class).invoke(null, "to the log only");
        break;
      case "exitWhileBusy":
        exitWhileBusy();
        break;
      default:
        throw new IllegalArgumentException(args[0]);
    }
  }
}
