package example.zelk.ws;

/** One point on a leg. The bean property "name" travels as the element "name". */
public class WayPoint {
    private double lat;
    private double lon;
    private String name;
    private boolean seca;

    public WayPoint() {
    }

    public WayPoint(String name, double lat, double lon, boolean seca) {
        this.name = name;
        this.lat = lat;
        this.lon = lon;
        this.seca = seca;
    }

    public double getLat() { return lat; }
    public void setLat(double lat) { this.lat = lat; }
    public double getLon() { return lon; }
    public void setLon(double lon) { this.lon = lon; }
    public String getName() { return name; }
    public void setName(String name) { this.name = name; }
    public boolean isSeca() { return seca; }
    public void setSeca(boolean seca) { this.seca = seca; }
}
