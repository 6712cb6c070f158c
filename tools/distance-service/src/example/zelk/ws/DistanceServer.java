package example.zelk.ws;

import java.io.File;
import java.io.IOException;
import java.net.BindException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import javax.xml.namespace.QName;
import org.apache.axis.configuration.FileProvider;
import org.apache.axis.server.AxisServer;
import org.apache.axis.transport.http.SimpleAxisServer;

/**
 * Runs the service on Axis's standalone HTTP server. The listening socket is made here rather
 * than by the server's own main, so that it is bound to loopback only and so that port 0 picks
 * a free port whose number is reported through --port-file.
 *
 * Exit codes: 2 bad arguments or configuration, 3 port in use, 4 other start failure.
 */
public final class DistanceServer {
    static final String SERVICE = "ZelkDistanceVersion3";
    static final String PATH = "/ZelkSystem/services/" + SERVICE;

    private DistanceServer() {
    }

    public static void main(String[] args) {
        int port = 8080;
        String bind = "127.0.0.1";
        String config = "server-config.wsdd";
        String portFile = null;
        try {
            for (int i = 0; i < args.length; i++) {
                switch (args[i]) {
                    case "--port": port = Integer.parseInt(args[++i]); break;
                    case "--bind": bind = args[++i]; break;
                    case "--config": config = args[++i]; break;
                    case "--port-file": portFile = args[++i]; break;
                    default: throw new IllegalArgumentException("unknown argument " + args[i]);
                }
            }
            if (port < 0 || port > 65535) {
                throw new IllegalArgumentException("port out of range: " + port);
            }
        } catch (RuntimeException e) {
            System.err.println("distance-service: " + e.getMessage());
            System.err.println("usage: DistanceServer [--port N] [--bind ADDR] [--config FILE] [--port-file FILE]");
            System.exit(2);
        }

        File configFile = new File(config);
        if (!configFile.isFile()) {
            System.err.println("distance-service: configuration not found: " + configFile.getAbsolutePath());
            System.exit(2);
        }

        ServerSocket socket = null;
        try {
            socket = new ServerSocket();
            socket.setReuseAddress(true);
            socket.bind(new InetSocketAddress(InetAddress.getByName(bind), port), 50);
        } catch (BindException e) {
            System.err.println("distance-service: port " + port + " on " + bind + " is already in use ("
                    + e.getMessage() + ")");
            System.exit(3);
        } catch (IOException e) {
            System.err.println("distance-service: cannot listen on " + bind + ":" + port + ": " + e);
            System.exit(4);
        }

        // The engine asks the server for its socket while it loads, so the socket comes first.
        SimpleAxisServer server = new SimpleAxisServer();
        server.setMyConfig(new FileProvider(configFile.getAbsolutePath()));
        server.setServerSocket(socket);
        try {
            AxisServer engine = server.getAxisServer();
            if (engine.getConfig().getService(new QName(SERVICE)) == null) {
                System.err.println("distance-service: " + configFile + " does not deploy " + SERVICE);
                System.exit(2);
            }
        } catch (Exception e) {
            System.err.println("distance-service: cannot load " + configFile + ": " + e);
            System.exit(2);
        }

        try {
            server.start(false);
        } catch (Exception e) {
            System.err.println("distance-service: cannot start: " + e);
            System.exit(4);
        }
        Runtime.getRuntime().addShutdownHook(new Thread(server::stop));

        int actual = socket.getLocalPort();
        String host = socket.getInetAddress().getHostAddress();
        if (host.contains(":")) {
            host = "[" + host + "]";
        }
        String url = "http://" + host + ":" + actual + PATH;
        System.out.println("distance-service: listening at " + url);
        System.out.flush();
        if (portFile != null) {
            try {
                // Written atomically: a reader never sees a half-written number.
                Path target = new File(portFile).toPath();
                Path tmp = Files.createTempFile(target.toAbsolutePath().getParent(), ".port", ".tmp");
                Files.write(tmp, (actual + "\n").getBytes(StandardCharsets.US_ASCII));
                Files.move(tmp, target, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
            } catch (IOException e) {
                System.err.println("distance-service: cannot write " + portFile + ": " + e);
                System.exit(4);
            }
        }
    }
}
