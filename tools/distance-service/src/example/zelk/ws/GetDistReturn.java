package example.zelk.ws;

/** The answer of getDistance. Errors travel in retCode/retMessage, not as faults. */
public class GetDistReturn {
    private int dayLimit;
    private int retCode;
    private String retMessage = "";
    // Never null: an answer without a route carries an empty array, not a nil element.
    private Section[] sections = new Section[0];
    private int todayUsed;
    private double totalDistance;
    private double totalDistanceSECA;

    public GetDistReturn() {
    }

    public int getDayLimit() { return dayLimit; }
    public void setDayLimit(int dayLimit) { this.dayLimit = dayLimit; }
    public int getRetCode() { return retCode; }
    public void setRetCode(int retCode) { this.retCode = retCode; }
    public String getRetMessage() { return retMessage; }
    public void setRetMessage(String retMessage) { this.retMessage = retMessage; }
    public Section[] getSections() { return sections; }
    public void setSections(Section[] sections) { this.sections = sections; }
    public int getTodayUsed() { return todayUsed; }
    public void setTodayUsed(int todayUsed) { this.todayUsed = todayUsed; }
    public double getTotalDistance() { return totalDistance; }
    public void setTotalDistance(double totalDistance) { this.totalDistance = totalDistance; }
    public double getTotalDistanceSECA() { return totalDistanceSECA; }
    public void setTotalDistanceSECA(double totalDistanceSECA) { this.totalDistanceSECA = totalDistanceSECA; }
}
