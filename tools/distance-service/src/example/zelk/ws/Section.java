package example.zelk.ws;

/** One leg of a route, from one port to the next. */
public class Section {
    private double distance;
    private double distanceSECA;
    private String fromPort;
    private String toPort;
    private WayPoint[] waypoints = new WayPoint[0];

    public Section() {
    }

    public double getDistance() { return distance; }
    public void setDistance(double distance) { this.distance = distance; }
    public double getDistanceSECA() { return distanceSECA; }
    public void setDistanceSECA(double distanceSECA) { this.distanceSECA = distanceSECA; }
    public String getFromPort() { return fromPort; }
    public void setFromPort(String fromPort) { this.fromPort = fromPort; }
    public String getToPort() { return toPort; }
    public void setToPort(String toPort) { this.toPort = toPort; }
    public WayPoint[] getWaypoints() { return waypoints; }
    public void setWaypoints(WayPoint[] waypoints) { this.waypoints = waypoints; }
}
