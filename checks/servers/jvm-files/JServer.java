// A tiny HTTP server on 127.0.0.1:8082 (com.sun.net.httpserver), meant to
// run under monitor in the foreground. Built with: javac -d /opt/jserver JServer.java
//  - SIGHUP reloads (here: counts the reloads, shown in each answer), the
//    same process; without the handler the JVM would exit with status 129;
//  - SIGTERM and SIGINT are the JVM's own: shutdown hooks, then exit status
//    143 or 130, which monitor leaves down.
import com.sun.net.httpserver.HttpServer;
import java.io.OutputStream;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.Executors;
import java.util.concurrent.atomic.AtomicInteger;
import sun.misc.Signal;

public final class JServer {
  private static final AtomicInteger reloads = new AtomicInteger();

  public static void main(String[] args) throws Exception {
    int port = args.length > 0 ? Integer.parseInt(args[0]) : 8082;
    Signal.handle(new Signal("HUP"), signal -> {
      System.out.println("SIGHUP: reload " + reloads.incrementAndGet());
    });
    HttpServer server = HttpServer.create(new InetSocketAddress("127.0.0.1", port), 64);
    server.createContext("/", exchange -> {
      byte[] body = ("jserver " + ProcessHandle.current().pid() + " reloads " + reloads.get() + "\n")
          .getBytes(StandardCharsets.UTF_8);
      exchange.getResponseHeaders().set("Content-Type", "text/plain");
      exchange.sendResponseHeaders(200, body.length);
      try (OutputStream out = exchange.getResponseBody()) {
        out.write(body);
      }
    });
    server.setExecutor(Executors.newFixedThreadPool(4));
    Runtime.getRuntime().addShutdownHook(new Thread(() -> server.stop(1)));
    server.start();
    System.out.println("jserver " + ProcessHandle.current().pid() + " on 127.0.0.1:" + port);
  }
}
