package example.zelk.ws;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * The sea routes this service knows. Each leg is a list of way points between two ports;
 * its distance is the sum of the great-circle distances between consecutive points, and its
 * SECA distance the sum over those steps whose both ends lie inside an emission control area.
 * Only the Busan-London leg depends on the route option: the options differ in how the
 * route crosses the Arabian Sea and the Gulf of Aden.
 */
final class RouteBook {
    static final String SHORTEST = "001";

    /** Mean earth radius in nautical miles. */
    private static final double EARTH_RADIUS_NM = 3440.065;

    static final class Port {
        final String name;
        final double lat;
        final double lon;
        final boolean seca;

        Port(String name, double lat, double lon, boolean seca) {
            this.name = name;
            this.lat = lat;
            this.lon = lon;
            this.seca = seca;
        }
    }

    private static final class Point {
        final String name;
        final double lat;
        final double lon;
        final boolean seca;

        Point(String name, double lat, double lon, boolean seca) {
            this.name = name;
            this.lat = lat;
            this.lon = lon;
            this.seca = seca;
        }
    }

    private static Point p(String name, double lat, double lon) {
        return new Point(name, lat, lon, false);
    }

    private static Point seca(String name, double lat, double lon) {
        return new Point(name, lat, lon, true);
    }

    private static final Map<String, Port> PORTS = new HashMap<>();
    /** Key "FROM>TO" (upper case) to the way points per route option; "*" for any option. */
    private static final Map<String, Map<String, List<Point>>> LEGS = new HashMap<>();

    static {
        addPort(new Port("Busan", 35.08, 129.05, false));
        addPort(new Port("London", 51.45, 0.36, true));
        addPort(new Port("Mobile", 30.69, -88.04, true));

        List<Point> eastAsiaToSriLanka = Arrays.asList(
                p("Korea Strait", 34.50, 128.90),
                p("Taiwan Strait", 24.60, 119.90),
                p("South China Sea, west of Macclesfield Bank", 15.50, 113.20),
                p("off Cape Padaran", 11.25, 109.55),
                p("Singapore Strait, off Horsburgh Lighthouse", 1.30, 104.45),
                p("Singapore Strait, off Tanjung Piai", 1.18, 103.48),
                p("Malacca Strait, off One Fathom Bank", 2.88, 100.98),
                p("Malacca Strait, off Penang", 5.35, 99.85),
                p("Great Channel, north of Sumatra", 6.35, 94.30),
                p("off Dondra Head, Sri Lanka", 5.70, 80.60));

        List<Point> redSeaToLondon = Arrays.asList(
                p("Bab el Mandeb", 12.55, 43.33),
                p("Red Sea, west of Hanish Islands", 13.75, 42.50),
                p("Red Sea, off Jabal al Tair", 15.50, 41.60),
                p("Red Sea", 20.50, 38.70),
                p("Red Sea, off the Brothers", 26.15, 35.00),
                p("Strait of Gubal", 27.65, 33.88),
                p("Gulf of Suez", 28.80, 32.90),
                p("Suez", 29.93, 32.56),
                p("Suez Canal, Great Bitter Lake", 30.33, 32.40),
                p("Suez Canal, Lake Timsah", 30.57, 32.30),
                p("Suez Canal, El Qantara", 30.85, 32.32),
                p("Port Said", 31.45, 32.35),
                p("Mediterranean, south of Crete", 34.40, 24.50),
                p("Mediterranean, south of Malta", 35.65, 14.50),
                p("Strait of Sicily, off Cape Bon", 37.35, 11.35),
                p("off Cap Bougaroun", 37.45, 6.45),
                p("Alboran Sea", 36.20, -3.00),
                p("Strait of Gibraltar", 35.95, -5.55),
                p("off Cape St Vincent", 36.85, -9.35),
                p("off Cabo da Roca", 38.80, -9.90),
                p("off Cape Finisterre", 43.05, -9.80),
                p("off Ushant", 48.65, -5.75),
                // The North Sea SECA covers the English Channel east of 5 degrees west.
                seca("SECA limit, English Channel 5W", 48.94, -5.00),
                seca("English Channel, off Casquets", 49.85, -2.60),
                seca("Dover Strait", 51.00, 1.45),
                seca("off North Foreland", 51.42, 1.55),
                seca("Thames Estuary, Sea Reach", 51.49, 0.88));

        Map<String, List<Point>> arabianSea = new HashMap<>();
        // Straight through the Guardafui Channel, close to the Somali coast.
        arabianSea.put("001", Arrays.asList(
                p("Eight Degree Channel", 7.70, 73.00),
                p("Guardafui Channel", 12.00, 51.65),
                p("Gulf of Aden", 12.40, 47.50)));
        // North of Socotra, at least 250 NM off the Somali east coast, then the transit corridor.
        arabianSea.put("002", Arrays.asList(
                p("Eight Degree Channel", 7.70, 73.00),
                p("Gulf of Aden, transit corridor east end", 14.45, 53.00),
                p("Gulf of Aden, transit corridor west end", 11.90, 45.00)));
        // At least 600 NM off the Somali east coast, then the transit corridor.
        arabianSea.put("003", Arrays.asList(
                p("Eight Degree Channel", 7.70, 73.00),
                p("Arabian Sea, 600NM off Somalia", 16.50, 60.50),
                p("Gulf of Aden, transit corridor east end", 14.45, 53.00),
                p("Gulf of Aden, transit corridor west end", 11.90, 45.00)));
        // JWLA015: up the Indian coast, across the northern Arabian Sea, along the Arabian coast.
        arabianSea.put("004", Arrays.asList(
                p("off Cape Comorin", 7.70, 77.40),
                p("off Kochi", 9.90, 75.60),
                p("off Goa", 15.40, 73.40),
                p("Arabian Sea", 19.00, 62.00),
                p("off Kuria Muria Islands", 17.10, 56.10),
                p("off Salalah", 16.75, 54.10),
                p("off Ras Fartak", 15.45, 52.45),
                p("Gulf of Aden, off Mukalla", 14.20, 49.30),
                p("Gulf of Aden, off Aden", 12.55, 45.00)));
        // JWLA016: the listed area reaches the Indian coast, so keep to coastal waters all the way.
        arabianSea.put("005", Arrays.asList(
                p("off Cape Comorin", 7.70, 77.40),
                p("off Kochi", 9.90, 75.60),
                p("off Goa", 15.40, 73.40),
                p("off Mumbai", 18.90, 72.40),
                p("off Ras al Hadd", 22.65, 60.05),
                p("off Masirah Island", 20.30, 59.25),
                p("off Ras Madrakah", 18.85, 58.00),
                p("off Kuria Muria Islands", 17.10, 56.10),
                p("off Salalah", 16.75, 54.10),
                p("off Ras Fartak", 15.45, 52.45),
                p("Gulf of Aden, off Mukalla", 14.20, 49.30),
                p("Gulf of Aden, off Aden", 12.55, 45.00)));

        Map<String, List<Point>> busanLondon = new HashMap<>();
        for (Map.Entry<String, List<Point>> e : arabianSea.entrySet()) {
            List<Point> all = new ArrayList<>(eastAsiaToSriLanka);
            all.addAll(e.getValue());
            all.addAll(redSeaToLondon);
            busanLondon.put(e.getKey(), Collections.unmodifiableList(all));
        }
        addLeg("Busan", "London", busanLondon);

        // The North American ECA reaches 200 NM off the US coast: the Florida Straits and the
        // whole way across the Gulf of Mexico to Mobile lie inside it.
        Map<String, List<Point>> londonMobile = new HashMap<>();
        londonMobile.put("*", Arrays.asList(
                seca("Thames Estuary, Sea Reach", 51.49, 0.88),
                seca("off North Foreland", 51.42, 1.55),
                seca("Dover Strait", 51.08, 1.40),
                seca("English Channel, off Casquets", 50.05, -2.60),
                seca("SECA limit, English Channel 5W", 49.64, -5.00),
                p("Western Approaches", 49.30, -7.00),
                p("North Atlantic", 45.90, -39.12),
                p("North Atlantic, north of Bermuda", 35.16, -64.21),
                p("Northeast Providence Channel", 25.70, -77.00),
                p("Northwest Providence Channel", 26.30, -79.00),
                seca("Florida Straits, off Fort Lauderdale", 26.05, -79.90),
                seca("Florida Straits, off Carysfort Reef", 25.10, -80.15),
                seca("off Key West", 24.38, -81.80),
                seca("off Dry Tortugas", 24.45, -83.00),
                seca("Gulf of Mexico", 27.30, -85.55),
                seca("Mobile Bay entrance", 30.13, -88.07)));
        addLeg("London", "Mobile", londonMobile);
    }

    private RouteBook() {
    }

    private static void addPort(Port port) {
        PORTS.put(key(port.name), port);
    }

    private static String key(String name) {
        return name.trim().toUpperCase(Locale.ROOT);
    }

    private static void addLeg(String from, String to, Map<String, List<Point>> byOption) {
        LEGS.put(key(from) + ">" + key(to), byOption);
        // The way back runs through the same points in reverse order.
        Map<String, List<Point>> back = new HashMap<>();
        for (Map.Entry<String, List<Point>> e : byOption.entrySet()) {
            List<Point> rev = new ArrayList<>(e.getValue());
            Collections.reverse(rev);
            back.put(e.getKey(), Collections.unmodifiableList(rev));
        }
        LEGS.put(key(to) + ">" + key(from), back);
    }

    static boolean isOption(String code) {
        switch (code) {
            case "001": case "002": case "003": case "004": case "005":
                return true;
            default:
                return false;
        }
    }

    /** The port by name, ignoring case and surrounding blanks; null when unknown. */
    static Port port(String name) {
        return name == null ? null : PORTS.get(key(name));
    }

    static boolean hasLeg(Port from, Port to) {
        return LEGS.containsKey(key(from.name) + ">" + key(to.name));
    }

    /** The leg between two known ports under a valid option; the ports must have a leg. */
    static Section leg(Port from, Port to, String option) {
        Map<String, List<Point>> byOption = LEGS.get(key(from.name) + ">" + key(to.name));
        List<Point> points = byOption.containsKey(option) ? byOption.get(option) : byOption.get("*");

        List<Point> path = new ArrayList<>(points.size() + 2);
        path.add(new Point(from.name, from.lat, from.lon, from.seca));
        path.addAll(points);
        path.add(new Point(to.name, to.lat, to.lon, to.seca));

        double distance = 0;
        double distanceSeca = 0;
        for (int i = 1; i < path.size(); i++) {
            Point a = path.get(i - 1);
            Point b = path.get(i);
            double step = greatCircleNm(a.lat, a.lon, b.lat, b.lon);
            distance += step;
            if (a.seca && b.seca) {
                distanceSeca += step;
            }
        }

        WayPoint[] waypoints = new WayPoint[points.size()];
        for (int i = 0; i < waypoints.length; i++) {
            Point pt = points.get(i);
            waypoints[i] = new WayPoint(pt.name, pt.lat, pt.lon, pt.seca);
        }

        Section section = new Section();
        section.setFromPort(from.name);
        section.setToPort(to.name);
        section.setDistance(round1(distance));
        section.setDistanceSECA(round1(distanceSeca));
        section.setWaypoints(waypoints);
        return section;
    }

    /** Rounds to a tenth of a mile, so that totals add up exactly as printed. */
    static double round1(double value) {
        return Math.round(value * 10.0) / 10.0;
    }

    static double greatCircleNm(double lat1, double lon1, double lat2, double lon2) {
        double phi1 = Math.toRadians(lat1);
        double phi2 = Math.toRadians(lat2);
        double dPhi = phi2 - phi1;
        double dLambda = Math.toRadians(lon2 - lon1);
        double h = Math.sin(dPhi / 2) * Math.sin(dPhi / 2)
                + Math.cos(phi1) * Math.cos(phi2) * Math.sin(dLambda / 2) * Math.sin(dLambda / 2);
        return 2 * EARTH_RADIUS_NM * Math.asin(Math.min(1.0, Math.sqrt(h)));
    }
}
